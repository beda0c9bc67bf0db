#include "settings/initext.h"

#include "app/uniquefd.h"

#include <QFile>
#include <QSet>
#include <QSettings>

#include <algorithm>
#include <cctype>
#include <iterator>

#include <sys/mman.h>
#include <sys/stat.h>

// What QSettings makes of one line, as far as the line itself tells.
struct IniText::Meaning
{
    enum Kind { Blank, Comment, Section, Key, Other };
    Kind kind = Blank;
    QString name; // of the section or key, as QSettings names it
    qsizetype valueAt = -1; // where a key's value starts
    qsizetype valueEnd = -1; // and where it ends: blanks and a comment may follow
    QString problem; // why QSettings reads the line otherwise than it is written
};

namespace {

// A name as QSettings decodes it: "%20" and "%U00e9" stand for characters, and a backslash
// separates groups.
QString unescapedName(QByteArrayView raw)
{
    const QString text = QString::fromUtf8(raw);
    if (!raw.contains('%') && !raw.contains('\\'))
        return text; // most names: read at every start, in files of up to 1 MiB
    QString name;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\') {
            name += u'/';
            continue;
        }
        if (c == u'%' && i + 1 < text.size()) {
            const qsizetype from = text.at(i + 1) == u'U' ? i + 2 : i + 1;
            const qsizetype digits = from == i + 2 ? 4 : 2;
            bool ok = false;
            const ushort code = from + digits <= text.size()
                ? QStringView(text).sliced(from, digits).toUShort(&ok, 16)
                : 0;
            if (ok) {
                name += QChar(code);
                i = from + digits - 1;
                continue;
            }
        }
        name += c;
    }
    return name;
}

QString sectionName(QByteArrayView raw)
{
    if (raw.compare("general", Qt::CaseInsensitive) == 0)
        return {}; // QSettings' name for the keys before any section
    if (raw.compare("%general", Qt::CaseInsensitive) == 0)
        return QString::fromLatin1(raw.sliced(1));
    return unescapedName(raw);
}

QString fullKey(const QString &section, const QString &key)
{
    return section.isEmpty() ? key : section + u'/' + key;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

} // namespace

IniText::IniText(const QByteArray &bytes)
{
    qsizetype from = 0;
    while (from < bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', from);
        const qsizetype next = newline < 0 ? bytes.size() : newline + 1;
        Line line{bytes.sliced(from, next - from), {}};
        if (line.text.endsWith('\n')) {
            const qsizetype length = line.text.endsWith("\r\n") ? 2 : 1;
            line.end = line.text.right(length);
            line.text.chop(length);
            if (length == 2)
                m_newline = line.end;
        }
        m_lines.append(line);
        from = next;
    }
}

QByteArray IniText::bytes() const
{
    QByteArray bytes;
    for (const Line &line : m_lines)
        bytes += line.text + line.end;
    return bytes;
}

IniText::Meaning IniText::meaningOf(const QByteArray &text, bool first)
{
    Meaning meaning;
    qsizetype from = first && text.startsWith("\xef\xbb\xbf") ? 3 : 0; // QSettings skips the BOM
    while (from < text.size() && isBlank(text.at(from)))
        ++from;
    if (text.contains('\r')) {
        meaning.problem = QStringLiteral("holds a carriage return"); // QSettings ends a line there
        return meaning;
    }
    if (from == text.size())
        return meaning;
    if (text.at(from) == ';') {
        meaning.kind = Meaning::Comment;
        return meaning;
    }

    // QSettings reads a quoted part, and an escaped line end, on into the next line; an unquoted
    // semicolon starts a comment that runs to the end of the line.
    bool quoted = false;
    qsizetype comment = text.size();
    for (qsizetype i = from; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '\\' && ++i == text.size()) {
            meaning.problem = QStringLiteral("ends with a backslash");
            return meaning;
        }
        if (c == '"')
            quoted = !quoted;
        else if (c == ';' && !quoted) {
            comment = i;
            break;
        }
    }
    if (quoted) {
        meaning.problem = QStringLiteral("has a quote that is not closed on that line");
        return meaning;
    }

    if (text.at(from) == '[') {
        const qsizetype close = text.indexOf(']', from);
        if (close < 0) {
            meaning.problem = QStringLiteral("has a section name without \"]\"");
            return meaning;
        }
        meaning.kind = Meaning::Section;
        meaning.name =
            sectionName(QByteArrayView(text).sliced(from + 1, close - from - 1).trimmed());
        return meaning;
    }
    const qsizetype equals = text.indexOf('=', from);
    if (equals < 0) {
        meaning.kind = Meaning::Other; // ignored by QSettings, kept here
        return meaning;
    }
    meaning.kind = Meaning::Key;
    meaning.name = unescapedName(QByteArrayView(text).sliced(from, equals - from).trimmed());
    meaning.valueAt = equals + 1;
    while (meaning.valueAt < text.size() && isBlank(text.at(meaning.valueAt)))
        ++meaning.valueAt;
    meaning.valueEnd = std::max(meaning.valueAt, comment);
    while (meaning.valueEnd > meaning.valueAt && isBlank(text.at(meaning.valueEnd - 1)))
        --meaning.valueEnd;
    return meaning;
}

QString IniText::misreading(const QVariantMap &parsed) const
{
    if (!m_lines.isEmpty()
        && (m_lines.first().text.startsWith("\xff\xfe")
            || m_lines.first().text.startsWith("\xfe\xff")))
        return QStringLiteral("it is UTF-16 text");
    for (const Line &line : m_lines) {
        if (line.text.contains('\0'))
            return QStringLiteral("it holds NUL bytes, so it is no text");
    }

    QSet<QString> keys;
    QString section;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const auto line = [i] { return QStringLiteral("line %1 ").arg(i + 1); };
        const Meaning meaning = meaningOf(m_lines.at(i).text, i == 0);
        if (!meaning.problem.isEmpty())
            return line() + meaning.problem;
        if (meaning.kind == Meaning::Section) {
            section = meaning.name;
        } else if (meaning.kind == Meaning::Key) {
            const QString key = fullKey(section, meaning.name);
            if (!parsed.contains(key))
                return line() + QStringLiteral("is not read as it is written");
            keys.insert(key);
        }
    }
    if (keys.size() != parsed.size())
        return QStringLiteral("it is not read as it is written");
    return {};
}

void IniText::setValue(const QString &section, const QString &key, const QString &text)
{
    qsizetype header = -1; // the section's last header
    qsizetype last = -1; // the last key line after that header, or the header
    qsizetype keyLine = -1;
    qsizetype valueAt = -1;
    qsizetype valueEnd = -1;
    QString current;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Meaning meaning = meaningOf(m_lines.at(i).text, i == 0);
        if (meaning.kind == Meaning::Section) {
            current = meaning.name;
            if (current == section)
                header = last = i;
        } else if (meaning.kind == Meaning::Key && header >= 0 && current == section) {
            last = i;
            if (meaning.name == key) {
                keyLine = i;
                valueAt = meaning.valueAt;
                valueEnd = meaning.valueEnd;
            }
        }
    }

    const QByteArray value = encodedValue(text);
    if (keyLine >= 0) {
        QByteArray &line = m_lines[keyLine].text;
        line = line.left(valueAt) + value + line.mid(valueEnd); // a comment after it stays
        return;
    }
    const QByteArray entry = key.toUtf8() + '=' + value;
    if (header >= 0) {
        insertLine(last + 1, entry);
        return;
    }
    if (!m_lines.isEmpty() && !m_lines.last().text.trimmed().isEmpty())
        insertLine(m_lines.size(), {});
    insertLine(m_lines.size(), '[' + section.toUtf8() + ']');
    insertLine(m_lines.size(), entry);
}

void IniText::insertLine(qsizetype index, const QByteArray &text)
{
    if (index > 0 && m_lines[index - 1].end.isEmpty())
        m_lines[index - 1].end = m_newline;
    m_lines.insert(index, Line{text, m_newline});
}

// As QSettings writes a text: control characters escaped, a leading "@" doubled (it would mark a
// typed value), and quotes around a value with a separator or with blanks at either end.
QByteArray IniText::encodedValue(const QString &text)
{
    const QString plain = text.startsWith(u'@') ? u'@' + text : text;
    QString escaped;
    bool quote = false;
    bool hexFollows = false; // a hex digit right after "\x1" would become part of the escape
    for (const QChar c : plain) {
        const char16_t u = c.unicode();
        quote = quote || u == ';' || u == ',' || u == '=';
        if (hexFollows && u < 0x80 && std::isxdigit(u)) {
            escaped += QStringLiteral("\\x") + QString::number(u, 16);
            continue;
        }
        hexFollows = false;
        static const QString named = QStringLiteral("0abtnvfr");
        static const char16_t codes[] = {0, '\a', '\b', '\t', '\n', '\v', '\f', '\r'};
        const auto code = std::find(std::begin(codes), std::end(codes), u);
        if (code != std::end(codes)) {
            escaped += u'\\' + named.at(code - std::begin(codes));
            hexFollows = u == 0;
        } else if (u == '"' || u == '\\') {
            escaped += u'\\' + c;
        } else if (u < 0x20) {
            escaped += QStringLiteral("\\x") + QString::number(u, 16);
            hexFollows = true;
        } else {
            escaped += c;
        }
    }
    QByteArray bytes = escaped.toUtf8();
    if (quote || bytes.startsWith(' ') || bytes.endsWith(' '))
        bytes = '"' + bytes + '"';
    return bytes;
}

// QSettings reads only files: here a file in memory, so nothing lands in $TMPDIR or can fail for
// want of room.
std::optional<QVariantMap> IniText::parsed(const QByteArray &bytes)
{
    const UniqueFd fd(::memfd_create("settings", MFD_CLOEXEC));
    if (!fd.isValid() || ::write(fd.get(), bytes.constData(), size_t(bytes.size())) != bytes.size())
        return std::nullopt;
    // QSettings reuses what it read of a path while the file's size and time stay, and the next
    // memory file gets the same path: give each one a time of its own.
    static qint64 readings = 0;
    const timespec times[2] = {{0, UTIME_OMIT}, {++readings, 0}};
    ::futimens(fd.get(), times);
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd.get());
    const QSettings settings(path, QSettings::IniFormat);
    QVariantMap values;
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
    if (!QFile::exists(path) || settings.status() == QSettings::AccessError)
        return std::nullopt; // no /proc
    return values;
}
