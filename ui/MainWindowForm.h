#pragma once

class QFrame;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

// The widgets of the main window, written by hand in the shape a form compiler
// gives: plain pointers to children of the window, reached by object name.
class MainWindowForm
{
public:
    QWidget *centralWidget = nullptr;
    QGridLayout *gridLayout = nullptr;
    QGroupBox *groupBox_AppMode = nullptr;
    QGridLayout *gridLayout_3 = nullptr;
    QLabel *label = nullptr;
    QLabel *lbl_AppDeviceName = nullptr;
    QPushButton *pb_GoToDfuMode = nullptr;
    QSpacerItem *verticalSpacer = nullptr;
    QSpacerItem *verticalSpacer_2 = nullptr;
    QSpacerItem *horizontalSpacer = nullptr;
    QSpacerItem *horizontalSpacer_2 = nullptr;
    QLabel *labfirwareVer = nullptr;
    QGroupBox *groupBox_DfuMode = nullptr;
    QGridLayout *gridLayout_2 = nullptr;
    QSpacerItem *verticalSpacer_3 = nullptr;
    QLabel *label_3 = nullptr;
    QLabel *lbl_DfuDeviceName = nullptr;
    QLabel *labDFUfileName = nullptr;
    QSpacerItem *horizontalSpacer_3 = nullptr;
    QPushButton *pb_SelectDfuFile = nullptr;
    QSpacerItem *horizontalSpacer_4 = nullptr;
    QPushButton *pb_DownloadDfu = nullptr;
    QPushButton *pb_GoToAppMode = nullptr;
    QSpacerItem *verticalSpacer_4 = nullptr;
    QFrame *frame = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QLabel *lbl_Status = nullptr;
    QProgressBar *progressBar = nullptr;
    QWidget *widget = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QLabel *label_2 = nullptr;
    QLabel *lbl_operationTime = nullptr;
    QSpacerItem *horizontalSpacer_5 = nullptr;

    // Builds every widget on the window, sets the texts and connects the window's
    // on_<object>_<signal> slots by name.
    void setupUi(QMainWindow *window);
    void retranslateUi(QMainWindow *window);
};
