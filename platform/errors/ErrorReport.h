#pragma once

#include <QString>

class Dialogs;
class QWidget;

// The location texts of the trapped handlers, quoted by the error report.
namespace Location {
inline constexpr const char* Form1_PushButton1_Click = "in Quellbrook2021/08/31.Form1.PushButton1_Click ";
inline constexpr const char* Form1_Form_Load = "in Quellbrook2021/08/31.Form1.Form_Load ";
inline constexpr const char* Form1_Form_QueryUnload = "in Quellbrook2021/08/31.Form1.Form_QueryUnload ";
inline constexpr const char* Form1_PushButton4_Click = "in Quellbrook2021/08/31.Form1.PushButton4_Click ";
inline constexpr const char* Form2_Form_Activate = "in Quellbrook2021/08/31.Form2.Form_Activate ";
inline constexpr const char* Form2_Form_Load = "in Quellbrook2021/08/31.Form2.Form_Load ";
inline constexpr const char* Form2_Form_MouseDown = "in Quellbrook2021/08/31.Form2.Form_MouseDown ";
inline constexpr const char* Form2_Form_MouseMove = "in Quellbrook2021/08/31.Form2.Form_MouseMove ";
inline constexpr const char* Form2_Form_MouseUp = "in Quellbrook2021/08/31.Form2.Form_MouseUp ";
} // namespace Location

// The address that ends every report; set when the build is configured.
QString supportAddress();

// The report text, byte for byte: description, CR LF, location, "at line ", number, CR CR, the request.
QString errorReportText(const QString& location, int line, const QString& description);

// Shows the report in a modal warning box titled "Application Error" and returns once it is dismissed.
void ShowErrorReport(Dialogs& dialogs, QWidget* parent, const QString& location, int line, const QString& description);
