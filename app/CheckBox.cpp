#include "app/CheckBox.h"

CheckBox::CheckBox(const QString& text, QWidget* parent)
    : QCheckBox(text, parent)
{}

int CheckBox::value() const
{
    switch (checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

void CheckBox::setValue(int value)
{
    setCheckState(value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
}

void CheckBox::nextCheckState()
{
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}
