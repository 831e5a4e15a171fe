#include "platform/errors/Failure.h"

#include <utility>

Failure::Failure(QString description, int number)
    : m_description(std::move(description))
    , m_number(number)
    , m_what(m_description.toUtf8())
{}
