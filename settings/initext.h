// The text of an INI settings file, line by line, exactly as a person wrote it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>

// QSettings reads such a file well, but it writes back the whole file from what it read: it drops
// comments and keeps a misread line misread. IniText changes only the lines of the keys it sets
// and leaves every other byte alone, and it tells whether QSettings reads the text as it is
// written, so that a misread file is never written back.
class IniText
{
public:
    explicit IniText(const QByteArray &bytes);

    QByteArray bytes() const;

    // Why QSettings does not read this text as it is written, for example "line 2 has a quote
    // that is not closed on that line"; empty when it does. parsed is what QSettings read from
    // bytes(), keyed "section/key".
    QString misreading(const QVariantMap &parsed) const;

    // Replaces the value on the key's line (the last one, which QSettings reads) and keeps a
    // comment after it, or adds the key at the end of its section, or the section at the end of
    // the text. The value is written as QSettings writes a text, so QSettings reads it back.
    void setValue(const QString &section, const QString &key, const QString &text);

    static QByteArray encodedValue(const QString &text);

    // What QSettings' own INI reader reads from bytes, keyed "section/key": escapes, quotes and
    // lists as QSettings has them. None without /proc, through which QSettings reads them.
    static std::optional<QVariantMap> parsed(const QByteArray &bytes);

private:
    struct Line
    {
        QByteArray text;
        QByteArray end; // "\n", "\r\n", or empty on a last line without one
    };
    struct Meaning;

    static Meaning meaningOf(const QByteArray &text, bool first);
    void insertLine(qsizetype index, const QByteArray &text);

    QList<Line> m_lines;
    QByteArray m_newline = "\n";
};
