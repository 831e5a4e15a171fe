#include "platform/settings/IniValues.h"

#include <QPair>
#include <QSet>
#include <QString>

#include <algorithm>
#include <array>
#include <utility>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The elements of a value after its escapes are undone and its quotes removed: one element, or several when
// unquoted commas make it a list. Only the ASCII characters matter here; other bytes come out as U+FFFD.
QStringList valueElements(QByteArrayView value)
{
    static constexpr std::array<std::pair<char, char>, 11> Escapes = {{{'a', '\a'},
                                                                       {'b', '\b'},
                                                                       {'f', '\f'},
                                                                       {'n', '\n'},
                                                                       {'r', '\r'},
                                                                       {'t', '\t'},
                                                                       {'v', '\v'},
                                                                       {'"', '"'},
                                                                       {'?', '?'},
                                                                       {'\'', '\''},
                                                                       {'\\', '\\'}}};
    QStringList elements;
    QString current;
    bool quoted = false;
    qsizetype i = 0;
    const qsizetype size = value.size();
    const auto skipBlanks = [&] {
        while (i < size && isBlank(value[i])) {
            ++i;
        }
    };
    skipBlanks();
    while (i < size) {
        const char c = value[i++];
        if (c == '\\') {
            if (i >= size) {
                break;
            }
            const char e = value[i++];
            const auto* escape =
                std::find_if(Escapes.begin(), Escapes.end(), [e](const auto& pair) { return pair.first == e; });
            if (escape != Escapes.end()) {
                current += QLatin1Char(escape->second);
            } else if (e == 'x' && i < size && hexDigit(value[i]) >= 0) {
                char16_t code = 0;
                while (i < size && hexDigit(value[i]) >= 0) {
                    code = static_cast<char16_t>(code << 4 | hexDigit(value[i++]));
                }
                current += QChar(code);
            } else if (e >= '0' && e <= '7') {
                auto code = static_cast<char16_t>(e - '0');
                while (i < size && value[i] >= '0' && value[i] <= '7') {
                    code = static_cast<char16_t>(code << 3 | (value[i++] - '0'));
                }
                current += QChar(code);
            } else if ((e == '\n' || e == '\r') && i < size && (value[i] == '\n' || value[i] == '\r') &&
                       value[i] != e) {
                ++i; // a continued line; any other escaped character is dropped
            }
        } else if (c == '"') {
            quoted = !quoted;
            if (!quoted) {
                skipBlanks();
            }
        } else if (c == ',' && !quoted) {
            elements.append(current);
            current.clear();
            skipBlanks();
        } else {
            current +=
                static_cast<unsigned char>(c) < 0x80 ? QChar(QLatin1Char(c)) : QChar(QChar::ReplacementCharacter);
        }
    }
    elements.append(current);
    return elements;
}

bool isTypedValue(QByteArrayView value)
{
    const QStringList elements = valueElements(value);
    return std::any_of(elements.cbegin(), elements.cend(), [](const QString& element) {
        return element.startsWith(QLatin1String("@Variant(")) || element.startsWith(QLatin1String("@DateTime(")) ||
               element.startsWith(QLatin1String("@ByteArray("));
    });
}

struct Line {
    qsizetype start = 0;
    qsizetype end = 0;     // exclusive
    qsizetype equals = -1; // the first "=" outside quotes
    bool comment = false;  // starts with ";": QSettings skips it on reading and drops it on rewriting
};

// The next line from `pos` as QSettings' reader splits the file: quoted text and a backslash go across line ends,
// a ";" outside quotes ends the line, and what follows it to the line's end is a comment. False at the end.
bool nextLine(QByteArrayView data, qsizetype& pos, Line& line)
{
    const qsizetype size = data.size();
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (pos < size && isSpace(data[pos])) {
        ++pos;
    }
    line = Line{pos, pos, -1};
    bool quoted = false;
    qsizetype i = pos;
    while (i < size) {
        const char c = data[i];
        if (c == '=' && !quoted && line.equals < 0) {
            line.equals = i;
        } else if ((c == '\n' || c == '\r') && !quoted) {
            break;
        } else if (c == '\\') {
            i += 2;
            if (i < size && (data[i - 1] == '\n' || data[i - 1] == '\r') && (data[i] == '\n' || data[i] == '\r') &&
                data[i] != data[i - 1]) {
                ++i;
            }
            continue;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ';') {
            if (i == line.start) {
                while (i < size && data[i] != '\n' && data[i] != '\r') {
                    ++i;
                }
                line.comment = true;
                break;
            }
            if (!quoted) {
                break;
            }
        }
        ++i;
    }
    pos = std::min(i, size);
    line.end = pos;
    return line.end > line.start;
}

} // namespace

QByteArray withoutTypedValues(const QByteArray& file, QStringList* keys)
{
    QByteArrayView data(file);
    qsizetype offset = 0;
    if (data.startsWith("\xef\xbb\xbf")) {
        offset = 3;
        data = data.sliced(3);
    }
    QByteArray result = file;
    qsizetype shift = 0; // how much the replacements so far have shortened or lengthened the result
    static const QByteArray mark = QByteArrayLiteral("\\x") + QByteArray::number(TypedValueMark, 16);
    qsizetype pos = 0;
    Line line;
    while (nextLine(data, pos, line)) {
        if (line.comment || data[line.start] == '[' || line.equals < 0) {
            continue;
        }
        const QByteArrayView value = data.sliced(line.equals + 1, line.end - line.equals - 1);
        if (!isTypedValue(value)) {
            continue;
        }
        if (keys) {
            keys->append(QString::fromUtf8(data.sliced(line.start, line.equals - line.start).trimmed()));
        }
        result.replace(offset + line.equals + 1 + shift, value.size(), mark);
        shift += mark.size() - value.size();
    }
    return result;
}

qsizetype firstUnkeptLine(const QByteArray& file)
{
    QByteArrayView data(file);
    if (data.startsWith("\xef\xbb\xbf")) {
        data = data.sliced(3);
    }
    QByteArrayView section;
    QSet<QPair<QByteArrayView, QByteArrayView>> keys; // a second value of a key hides the first
    qsizetype pos = 0;
    Line line;
    while (nextLine(data, pos, line)) {
        const QByteArrayView text = data.sliced(line.start, line.end - line.start);
        bool kept = false;
        if (line.comment) {
            kept = false;
        } else if (text.startsWith('[')) {
            section = text.trimmed();
            kept = section.endsWith(']');
        } else if (line.equals > line.start) {
            const QByteArrayView key = data.sliced(line.start, line.equals - line.start).trimmed();
            kept = !key.isEmpty() && !keys.contains({section, key});
            keys.insert({section, key});
        }
        if (!kept) {
            return data.first(line.start).count('\n') + 1;
        }
    }
    return 0;
}
