// The error the port component raises; its text is shown to the user as it stands.
#pragma once

#include <QString>

#include <stdexcept>

class ComError : public std::runtime_error
{
public:
    explicit ComError(const QString &description)
        : std::runtime_error(description.toStdString())
    { }

    QString description() const { return QString::fromUtf8(what()); }
};
