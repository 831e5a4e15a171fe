// The skin file x/o.cjs: any bytes are either applied to a window like the main one, which is then painted, or
// refused with a Failure.

#include "app/Skin.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Failure.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QStringDecoder>
#include <QVBoxLayout>
#include <QWidget>

#include <cstddef>
#include <cstdint>

namespace {

// The kinds of control the main window has, each of which a skin may style.
void addControls(QWidget& window)
{
    auto* layout = new QVBoxLayout(&window);
    auto* frame = new QGroupBox(QStringLiteral("Format"), &window);
    auto* inFrame = new QVBoxLayout(frame);
    inFrame->addWidget(new QRadioButton(QStringLiteral("JPG"), frame));
    inFrame->addWidget(new QRadioButton(QStringLiteral("BMP"), frame));
    layout->addWidget(frame);
    layout->addWidget(new QCheckBox(QStringLiteral("Hide this window so screenshot can be taken"), &window));
    layout->addWidget(new QLabel(QStringLiteral("Output folder"), &window));
    layout->addWidget(new QLineEdit(QStringLiteral("/home/user/Desktop/"), &window));
    layout->addWidget(new QPushButton(QStringLiteral("Start Capturing"), &window));
    window.resize(280, 200);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::startQt<QApplication>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString programFolder = fuzz::scratchFolder();
    const QString path = programFolder + QLatin1Char('/') + QLatin1String(SkinFileName);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        fuzz::wrong(QStringLiteral("cannot write the scratch file %1").arg(path));

    QWidget window;
    addControls(window);
    try {
        ApplySkin(window, programFolder);
    } catch (const Failure&) {
        return 0;
    }
    // What was applied is the file's text, as it stands.
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString sheet = decoder(bytes);
    if (decoder.hasError() || window.styleSheet() != sheet)
        fuzz::wrong(QStringLiteral("the window's style sheet is not the skin file's text"));
    // The skin takes effect when the window is painted.
    if (window.grab().isNull())
        fuzz::wrong(QStringLiteral("the skinned window cannot be painted"));
    return 0;
}
