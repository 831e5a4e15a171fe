#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The one kind of failure a procedure raises: it carries the description that the error report shows.
// `number` is the error number where one is defined (5 for a failed JPEG save), 0 otherwise.
class Failure : public std::exception {
public:
    explicit Failure(QString description, int number = 0);

    const QString& description() const noexcept { return m_description; }
    int number() const noexcept { return m_number; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    int m_number;
    QByteArray m_what;
};
