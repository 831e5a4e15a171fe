#include "platform/files/ProgramFiles.h"

#include <QCoreApplication>
#include <QHash>
#include <QIcon>
#include <QIconEngine>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cmath>

QString programFolder()
{
    return QCoreApplication::applicationDirPath();
}

// A frozen screen on a dark tile, with an orange selection band being dragged out to a crosshair. Every line is
// placed on whole pixels so that the small sizes stay sharp; details that would blur below 32 pixels are left out.
QImage programIconImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    const auto unit = [size](double fraction) { return static_cast<int>(std::lround(size * fraction)); };
    const int line = std::max(1, size / 32);

    // The tile.
    painter.setRenderHint(QPainter::Antialiasing, true);
    QLinearGradient tile(0, 0, 0, size);
    tile.setColorAt(0.0, QColor(0x2c, 0x3e, 0x6b));
    tile.setColorAt(1.0, QColor(0x17, 0x7e, 0x8f));
    painter.setPen(Qt::NoPen);
    painter.setBrush(tile);
    const double radius = size * 0.18;
    painter.drawRoundedRect(QRectF(0, 0, size, size), radius, radius);
    painter.setRenderHint(QPainter::Antialiasing, false);

    // The frozen screen.
    const int margin = std::max(2, unit(0.125));
    const QRect screen(margin, margin, size - 2 * margin, size - 2 * margin - std::max(1, unit(0.09)));
    painter.setBrush(QColor(0xe8, 0xf1, 0xf7));
    painter.drawRect(screen);
    if (size >= 32) {
        // A few "windows" on the screen, so it reads as a desktop.
        painter.setBrush(QColor(0xb9, 0xcc, 0xdc));
        painter.drawRect(QRect(screen.left() + unit(0.06), screen.top() + unit(0.06), unit(0.28), unit(0.18)));
        painter.drawRect(QRect(screen.left() + unit(0.06), screen.top() + unit(0.30), unit(0.18), unit(0.22)));
    }

    // The selection band from its anchor to the pointer.
    const QRect band(screen.left() + unit(0.22), screen.top() + unit(0.16), unit(0.44), unit(0.36));
    painter.setBrush(QColor(0xff, 0x8c, 0x1a, 0x50));
    painter.setPen(Qt::NoPen);
    painter.drawRect(band);
    QPen edge(QColor(0xf0, 0x6a, 0x00), line, size >= 32 ? Qt::DashLine : Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    painter.setPen(edge);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(band.adjusted(0, 0, -line, -line));

    // The crosshair at the band's far corner.
    if (size >= 24) {
        const QPoint corner = band.bottomRight();
        const int arm = std::max(3, unit(0.12));
        painter.setPen(QPen(QColor(0x1b, 0x1f, 0x2a), line, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(corner.x() - arm, corner.y(), corner.x() + arm, corner.y());
        painter.drawLine(corner.x(), corner.y() - arm, corner.x(), corner.y() + arm);
    }
    painter.end();
    return image;
}

namespace {

constexpr int IconSizes[] = {16, 24, 32, 48, 64, 128, 256};

// Every size drawn so far, for the whole process: the toolkit caches what it renders of an icon under the identity
// of its pixmaps, so a fresh picture for each window would leave copies behind until that cache reached its limit.
// Dropped when the application object goes, before the pixmaps would outlive it.
QHash<int, QPixmap>* drawnSizes = nullptr;

const QPixmap& drawnIcon(int size)
{
    if (!drawnSizes) {
        drawnSizes = new QHash<int, QPixmap>;
        qAddPostRoutine([] {
            delete drawnSizes;
            drawnSizes = nullptr;
        });
    }
    auto drawn = drawnSizes->find(size);
    if (drawn == drawnSizes->end()) {
        drawn = drawnSizes->insert(size, QPixmap::fromImage(programIconImage(size)));
    }
    return *drawn;
}

// Draws each size when it is first asked for. A request between the drawn sizes gets the next larger one scaled
// down, as an icon made of fixed pictures would.
class ProgramIconEngine final : public QIconEngine {
public:
    explicit ProgramIconEngine(int largestSize)
        : m_largestSize(largestSize)
    {}

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min({size.width(), size.height(), m_largestSize});
        return side > 0 ? QSize(side, side) : QSize();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        const QSize actual = actualSize(size, mode, state);
        if (actual.isEmpty()) {
            return {};
        }
        // actualSize() keeps the side within the largest of IconSizes.
        const int* fits = std::find_if(std::begin(IconSizes), std::end(IconSizes),
                                       [&](int drawn) { return drawn >= actual.width(); });
        const QPixmap& drawn = drawnIcon(*fits);
        QPixmap shown = drawn.width() == actual.width()
                            ? drawn
                            : drawn.scaled(actual, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        // The disabled and selected looks come from the style, as for any icon made of pictures.
        return mode == QIcon::Normal ? shown : QIcon(shown).pixmap(actual, mode, state);
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const QPixmap shown = pixmap(rect.size(), mode, state);
        QRect placed(QPoint(), shown.size());
        placed.moveCenter(rect.center());
        painter->drawPixmap(placed, shown);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int size : IconSizes) {
            if (size <= m_largestSize) {
                sizes.append(QSize(size, size));
            }
        }
        return sizes;
    }

    QString key() const override { return QStringLiteral("ProgramIcon"); }
    QIconEngine* clone() const override { return new ProgramIconEngine(m_largestSize); }

private:
    int m_largestSize;
};

} // namespace

QIcon programIcon(int largestSize)
{
    return QIcon(new ProgramIconEngine(std::clamp(largestSize, IconSizes[0], MaxProgramIconSize)));
}
