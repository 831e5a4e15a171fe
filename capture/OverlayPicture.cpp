#include "capture/OverlayPicture.h"

#include "capture/ShapeRect.h"
#include "imaging/Picture.h"
#include "imaging/modCapture.h"
#include "platform/screen/PictureLayer.h"
#include "platform/screen/ScreenService.h"

#include <QColor>
#include <QPainter>
#include <QWidget>

OverlayPicture::OverlayPicture() = default;

OverlayPicture::~OverlayPicture() = default;

void OverlayPicture::setPicture(const Picture* picture, PictureScale scale, qreal devicePixelRatio)
{
    clear();
    m_picture = picture;
    m_scale = scale;
    m_ratio = devicePixelRatio;
    if (picture) {
        m_viewSize = overlayViewSize(QSize(picture->width(), picture->height()), scale, devicePixelRatio);
    }
}

void OverlayPicture::layOver(ScreenService& screen, QWidget& window)
{
    if (!m_picture || m_layer || m_viewSize == QSize(m_picture->width(), m_picture->height())) {
        return;
    }
    m_layer = screen.showPicture(window, m_picture->bitmap());
    if (m_layer) {
        m_view = QImage();
        window.update();
    }
}

QRegion OverlayPicture::follow(const ShapeRect& shape, const ScreenObject& screen, const QColor& colour,
                               qreal devicePixelRatio)
{
    const QSize picture = m_picture ? QSize(m_picture->width(), m_picture->height()) : QSize();
    const QRegion dirty = m_band.follow(shape, screen, picture, m_layer ? picture : m_viewSize);
    if (!m_layer) {
        return logicalCoverOf(dirty, devicePixelRatio);
    }
    if (!dirty.isEmpty()) {
        m_layer->showBand(ShapeRect::border(m_band.drawn()), colour.rgb());
    }
    return {};
}

void OverlayPicture::paint(QPainter& painter, const QRegion& logicalRegion, qreal devicePixelRatio,
                           const QColor& background, const QColor& bandColour)
{
    if (m_layer) {
        paintOverlay(painter, logicalRegion, devicePixelRatio, QImage(), QRect(), background, bandColour);
        return;
    }
    if (m_view.isNull() && m_picture) {
        m_view = overlayViewOf(m_picture->view(), m_scale, m_ratio);
    }
    paintOverlay(painter, logicalRegion, devicePixelRatio, m_view, m_band.viewed(), background, bandColour);
}

void OverlayPicture::clear()
{
    m_layer.reset();
    m_view = QImage();
    m_picture = nullptr;
    m_viewSize = QSize();
}
