// The skin file x/o.cjs: any bytes are either applied to a window like the main one, which is then painted, or
// refused with a Failure.

#include "app/Skin.h"
#include "fuzz/FuzzSupport.h"
#include "platform/errors/Failure.h"

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
#include <QWidget>

#include <cstddef>
#include <cstdint>

namespace {

constexpr QSize DesignSize(535, 212);

// The main window in miniature: the same kinds of control at the same places (in pixels at 96 dpi), a fixed size and
// no layout, so that the skin is tried on what it will really style.
void addControls(QWidget& window)
{
    window.setObjectName(QStringLiteral("Form1"));
    window.setFixedSize(DesignSize);
    auto* frame = new QGroupBox(QStringLiteral("Image Output Option"), &window);
    frame->setObjectName(QStringLiteral("Frame1"));
    frame->setGeometry(8, 8, 520, 50);
    (new QRadioButton(QStringLiteral("JPG"), frame))->setGeometry(16, 20, 50, 19);
    (new QRadioButton(QStringLiteral("BMP"), frame))->setGeometry(72, 20, 52, 19);
    auto* folder = new QGroupBox(QStringLiteral("Save Results To This Folder"), &window);
    folder->setGeometry(8, 64, 520, 53);
    (new QLineEdit(QStringLiteral("/home/user/Desktop/"), folder))->setGeometry(16, 20, 441, 23);
    (new QPushButton(QStringLiteral("..."), folder))->setGeometry(464, 20, 40, 23);
    auto* hide = new QGroupBox(QStringLiteral("Minimize Option"), &window);
    hide->setGeometry(8, 124, 520, 49);
    (new QCheckBox(QStringLiteral("Hide this window so screenshot can be taken"), hide))->setGeometry(16, 20, 353, 19);
    (new QLabel(QStringLiteral("Output folder"), &window))->setGeometry(8, 176, 100, 10);
    (new QPushButton(QStringLiteral("Start Capturing"), &window))->setGeometry(8, 181, 520, 27);
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
    // The main window has a fixed size that the skin cannot change: a window grown by the skin would need a
    // backing store of gigabytes.
    window.ensurePolished();
    if (window.size() != DesignSize) {
        fuzz::wrong(
            QStringLiteral("the skin resized the main window to %1 x %2").arg(window.width()).arg(window.height()));
    }
    // The skin takes effect when the window is painted.
    if (window.grab().isNull())
        fuzz::wrong(QStringLiteral("the skinned window cannot be painted"));
    return 0;
}
