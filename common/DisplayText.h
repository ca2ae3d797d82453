#pragma once

// Text from a device or a file is data, never instructions to a terminal or a spreadsheet:
// product names, serials, version texts and signature comments are shown with every control
// character escaped (an ESC sequence would clear the screen or rewrite earlier lines), cut by
// characters rather than bytes, and written into CSV so that no cell starts a formula. JSON
// carries the true string and needs none of this.

#include <QString>
#include <QStringList>
#include <QStringView>

#include <string>

namespace display {

// Control characters (C0, DEL, C1), format characters (bidirectional overrides among them,
// which reorder what follows), line and paragraph separators, and what is no character at all
// (a lone surrogate, the replacement character of a broken sequence).
inline bool needsEscape(char32_t c)
{
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xFFFD || c == 0x2028 || c == 0x2029)
        return true;
    if (c >= 0xD800 && c <= 0xDFFF)
        return true;
    return QChar::category(c) == QChar::Other_Format;
}

inline QString escaped(char32_t c)
{
    return c <= 0xFF ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'))
                     : QStringLiteral("\\u{%1}").arg(uint(c), 4, 16, QLatin1Char('0'));
}

inline QString cell(uint c)
{
    return needsEscape(c) ? escaped(c) : QString::fromUcs4(reinterpret_cast<const char32_t *>(&c), 1);
}

// What each character of `text` shows as: itself, or its escape, so that cutting never
// splits an escape.
inline QStringList cells(QStringView text)
{
    QStringList out;
    for (uint c : text.toUcs4())
        out << cell(c);
    return out;
}

// `text` safe for a terminal. With `keepLines`, line feeds stay line feeds (our own multi-line
// output); everything else that needs it is escaped.
inline QString text(QStringView text, bool keepLines = false)
{
    QString out;
    out.reserve(text.size());
    for (uint c : text.toUcs4())
        out += keepLines && c == '\n' ? QStringLiteral("\n") : cell(c);
    return out;
}

// Bytes meant as UTF-8 (a signature's comment): valid sequences as their characters, every
// byte of an invalid one as \xNN, and control characters escaped as above.
inline QString utf8(const std::string &bytes)
{
    QString out;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const size_t length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= bytes.size();
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        const QString piece = valid ? QString::fromUtf8(bytes.data() + i, qsizetype(length)) : QString();
        // Overlong forms and surrogates decode to the replacement character: invalid too.
        if (!valid || piece.contains(QChar(0xFFFD))) {
            out += escaped(b);
            ++i;
            continue;
        }
        out += text(piece);
        i += length;
    }
    return out;
}

// At most `width` characters of the shown text, "..." at the end where it was cut.
inline QString elided(QStringView text, int width)
{
    const QStringList shown = cells(text);
    qsizetype total = 0;
    for (const QString &c : shown)
        total += c.size();
    if (total <= width)
        return shown.join(QString());
    QString out;
    for (const QString &c : shown) {
        if (out.size() + c.size() > width - 3)
            break;
        out += c;
    }
    return out + QStringLiteral("...");
}

// One CSV field (RFC 4180: quoted where it holds a comma, a quote or a line break, quotes
// doubled). A field that a spreadsheet would take for a formula (a leading =, +, -, @, tab or
// carriage return) gets the usual apostrophe in front.
inline QString csvCell(QString text)
{
    if (!text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front()))
        text.prepend(QLatin1Char('\''));
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r')))
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
    return text;
}

} // namespace display
