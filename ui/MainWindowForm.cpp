#include "MainWindowForm.h"

#include "ElidedLabel.h"

#include <QCoreApplication>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {

constexpr int LayoutSpacing = 6;
constexpr int LayoutMargin = 11;

const char ProgressBarStyle[] =
    "QProgressBar {\n"
    "    border: 2px solid grey;\n"
    "    border-radius: 5px;\n"
    "    text-align: center;\n"
    "}\n"
    "\n"
    "QProgressBar::chunk {\n"
    "\tbackground-color: rgb(0, 255, 255);\n"
    "    width: 20px;\n"
    "/*    margin: 2px;*/\n"
    "}";

QFont weightedFont(QFont::Weight weight)
{
    QFont font;
    font.setWeight(weight);
    return font;
}

QSpacerItem *verticalSpacerItem()
{
    return new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
}

// The spacers beside the device names ask for no room of their own: they centre a short
// name, and a long one takes their room before it is cut. (With a width hint of 40 the grid
// keeps 40 pixels beside each name, and a 30-character product name is cut.)
QSpacerItem *horizontalSpacerItem(int width = 0)
{
    return new QSpacerItem(width, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
}

template <typename Layout>
Layout *newLayout(QWidget *owner, const char *name, int margin)
{
    auto *layout = new Layout(owner);
    layout->setSpacing(LayoutSpacing);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setObjectName(QString::fromLatin1(name));
    return layout;
}

template <typename W>
W *newChild(QWidget *parent, const char *name, const QFont *font = nullptr)
{
    auto *w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    if (font)
        w->setFont(*font);
    return w;
}

QPushButton *newButton(QWidget *parent, const char *name, const QFont &font)
{
    auto *button = newChild<QPushButton>(parent, name, &font);
    button->setMinimumSize(QSize(0, 30));
    return button;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text, nullptr);
}

} // namespace

void MainWindowForm::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromLatin1("MainWindow"));
    window->resize(611, 306);
    QIcon icon;
    icon.addFile(QString::fromLatin1(":/resource/about/TolvexDfu.ico"), QSize(), QIcon::Normal, QIcon::Off);
    window->setWindowIcon(icon);

    const QFont bold = weightedFont(QFont::Bold);
    const QFont normal = weightedFont(QFont::Normal);

    centralWidget = newChild<QWidget>(window, "centralWidget");
    gridLayout = newLayout<QGridLayout>(centralWidget, "gridLayout", LayoutMargin);

    groupBox_AppMode = newChild<QGroupBox>(centralWidget, "groupBox_AppMode", &bold);
    groupBox_AppMode->setAlignment(Qt::AlignCenter);
    gridLayout_3 = newLayout<QGridLayout>(groupBox_AppMode, "gridLayout_3", LayoutMargin);
    label = newChild<QLabel>(groupBox_AppMode, "label", &normal);
    label->setAlignment(Qt::AlignCenter);
    gridLayout_3->addWidget(label, 3, 1, 1, 1);
    lbl_AppDeviceName = newChild<ElidedLabel>(groupBox_AppMode, "lbl_AppDeviceName", &normal);
    lbl_AppDeviceName->setMinimumSize(QSize(100, 0));
    lbl_AppDeviceName->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
    gridLayout_3->addWidget(lbl_AppDeviceName, 3, 2, 1, 1);
    pb_GoToDfuMode = newButton(groupBox_AppMode, "pb_GoToDfuMode", normal);
    gridLayout_3->addWidget(pb_GoToDfuMode, 4, 1, 1, 2);
    verticalSpacer = verticalSpacerItem();
    gridLayout_3->addItem(verticalSpacer, 5, 1, 1, 2);
    verticalSpacer_2 = verticalSpacerItem();
    gridLayout_3->addItem(verticalSpacer_2, 0, 2, 1, 1);
    horizontalSpacer = horizontalSpacerItem();
    gridLayout_3->addItem(horizontalSpacer, 3, 0, 1, 1);
    horizontalSpacer_2 = horizontalSpacerItem();
    gridLayout_3->addItem(horizontalSpacer_2, 3, 3, 1, 1);
    labfirwareVer = newChild<QLabel>(groupBox_AppMode, "labfirwareVer", &normal);
    labfirwareVer->setTextFormat(Qt::PlainText);
    labfirwareVer->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignBottom);
    gridLayout_3->addWidget(labfirwareVer, 2, 1, 1, 2);
    gridLayout->addWidget(groupBox_AppMode, 0, 0, 1, 1);

    groupBox_DfuMode = newChild<QGroupBox>(centralWidget, "groupBox_DfuMode", &bold);
    groupBox_DfuMode->setAlignment(Qt::AlignCenter);
    gridLayout_2 = newLayout<QGridLayout>(groupBox_DfuMode, "gridLayout_2", LayoutMargin);
    verticalSpacer_3 = verticalSpacerItem();
    gridLayout_2->addItem(verticalSpacer_3, 0, 2, 1, 1);
    label_3 = newChild<QLabel>(groupBox_DfuMode, "label_3", &normal);
    gridLayout_2->addWidget(label_3, 1, 1, 1, 1);
    lbl_DfuDeviceName = newChild<ElidedLabel>(groupBox_DfuMode, "lbl_DfuDeviceName", &normal);
    lbl_DfuDeviceName->setMinimumSize(QSize(100, 0));
    gridLayout_2->addWidget(lbl_DfuDeviceName, 1, 2, 1, 2);
    labDFUfileName = newChild<ElidedLabel>(groupBox_DfuMode, "labDFUfileName", &normal);
    labDFUfileName->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
    gridLayout_2->addWidget(labDFUfileName, 2, 1, 1, 3);
    horizontalSpacer_3 = horizontalSpacerItem();
    gridLayout_2->addItem(horizontalSpacer_3, 3, 0, 1, 1);
    pb_SelectDfuFile = newButton(groupBox_DfuMode, "pb_SelectDfuFile", normal);
    gridLayout_2->addWidget(pb_SelectDfuFile, 3, 1, 1, 3);
    horizontalSpacer_4 = horizontalSpacerItem();
    gridLayout_2->addItem(horizontalSpacer_4, 3, 4, 1, 1);
    pb_DownloadDfu = newButton(groupBox_DfuMode, "pb_DownloadDfu", normal);
    gridLayout_2->addWidget(pb_DownloadDfu, 5, 1, 1, 3);
    pb_GoToAppMode = newButton(groupBox_DfuMode, "pb_GoToAppMode", normal);
    gridLayout_2->addWidget(pb_GoToAppMode, 7, 1, 1, 3);
    verticalSpacer_4 = verticalSpacerItem();
    gridLayout_2->addItem(verticalSpacer_4, 8, 1, 1, 1);
    gridLayout->addWidget(groupBox_DfuMode, 0, 1, 1, 1);
    // The groups share the width evenly, so that a long name in one does not squeeze the other.
    gridLayout->setColumnStretch(0, 1);
    gridLayout->setColumnStretch(1, 1);

    frame = newChild<QFrame>(centralWidget, "frame");
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Raised);
    verticalLayout = newLayout<QVBoxLayout>(frame, "verticalLayout", LayoutMargin);
    lbl_Status = newChild<QLabel>(frame, "lbl_Status", &bold);
    lbl_Status->setAlignment(Qt::AlignCenter);
    verticalLayout->addWidget(lbl_Status);
    progressBar = newChild<QProgressBar>(frame, "progressBar");
    progressBar->setStyleSheet(QString::fromLatin1(ProgressBarStyle));
    progressBar->setValue(100);
    verticalLayout->addWidget(progressBar);
    widget = newChild<QWidget>(frame, "widget");
    horizontalLayout = newLayout<QHBoxLayout>(widget, "horizontalLayout", 0);
    label_2 = newChild<QLabel>(widget, "label_2");
    horizontalLayout->addWidget(label_2);
    lbl_operationTime = newChild<QLabel>(widget, "lbl_operationTime");
    horizontalLayout->addWidget(lbl_operationTime);
    horizontalSpacer_5 = horizontalSpacerItem(431);
    horizontalLayout->addItem(horizontalSpacer_5);
    verticalLayout->addWidget(widget);
    gridLayout->addWidget(frame, 1, 0, 1, 2);

    window->setCentralWidget(centralWidget);
    retranslateUi(window);
    QMetaObject::connectSlotsByName(window);
}

void MainWindowForm::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(tr("MainWindow"));
    groupBox_AppMode->setTitle(tr("Application Mode"));
    label->setText(tr("Connected device:"));
    lbl_AppDeviceName->setText(tr("N/A"));
    pb_GoToDfuMode->setText(tr("Go to DFU mode"));
    labfirwareVer->setText(QString());
    groupBox_DfuMode->setTitle(tr("DFU Mode"));
    label_3->setText(tr("Connected device:"));
    lbl_DfuDeviceName->setText(tr("N/A"));
    labDFUfileName->setText(tr("File Selected : None"));
    pb_SelectDfuFile->setText(tr("Select DFU File"));
    pb_DownloadDfu->setText(tr("Download DFU to device"));
    pb_GoToAppMode->setText(tr("Go to application mode"));
    lbl_Status->setText(tr("TextLabel"));
    label_2->setText(tr("Operation time:"));
    lbl_operationTime->setText(tr("0s"));
}
