#pragma once

#include <QCheckBox>

// A check box whose value is 0 (unchecked), 1 (checked) or 2 (grey). Only the program sets it grey; a click on a
// grey box checks it, and otherwise a click toggles between checked and unchecked, as the Windows check box does.
class CheckBox : public QCheckBox {
    Q_OBJECT
public:
    CheckBox(const QString& text, QWidget* parent);

    int value() const;
    // Values outside 0 to 2 are refused by the caller, not here.
    void setValue(int value);

protected:
    void nextCheckState() override;
};
