#include "app/TlsLockLabel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

namespace zephra::app {

TlsLockLabel::TlsLockLabel(QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("fraTls"));
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    m_icon = new QLabel(this);
    m_icon->setObjectName(QStringLiteral("imgTls"));
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("lbTls"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 0, 4, 0);
    row->setSpacing(4);
    row->addWidget(m_icon);
    row->addWidget(m_text);
    hide();
}

QString TlsLockLabel::text() const { return m_text->text(); }

QPixmap TlsLockLabel::padlock(bool closed) const
{
    // Drawn rather than taken from an icon theme: many desktops (and the offscreen platform) have
    // no padlock among their icons.
    const int side = fontMetrics().height();
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap(QSize(side, side) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor colour = closed ? QColor(0x1e, 0x7b, 0x34) : palette().color(QPalette::PlaceholderText);
    const qreal s = side;
    QPen pen(colour, s / 9.0);
    p.setPen(pen);
    // The shackle: an arch over the body, lifted off it on one side when open.
    const qreal lift = closed ? 0 : s * 0.18;
    QPainterPath shackle;
    shackle.moveTo(s * 0.30, s * 0.48 - lift);
    shackle.lineTo(s * 0.30, s * 0.28 - lift);
    shackle.arcTo(QRectF(s * 0.30, s * 0.08 - lift, s * 0.40, s * 0.40), 180, -180);
    shackle.lineTo(s * 0.70, closed ? s * 0.48 : s * 0.30 - lift);
    p.drawPath(shackle);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(s * 0.18, s * 0.46, s * 0.64, s * 0.46), s * 0.08, s * 0.08);
    return pixmap;
}

void TlsLockLabel::showSession(bool connected, bool encrypted)
{
    m_encrypted = connected && encrypted;
    if (!connected) {
        hide();
        return;
    }
    const QString words = m_encrypted ? QStringLiteral("TLS") : QStringLiteral("Not encrypted");
    m_icon->setPixmap(padlock(m_encrypted));
    m_text->setText(words);
    setAccessibleName(words);
    setToolTip(m_encrypted ? QStringLiteral("The session is encrypted (FTP over TLS): the password, the commands "
                                            "and every file cross the network encrypted.")
                           : QStringLiteral("The session is not encrypted: the password and every file cross the "
                                            "network as they are."));
    show();
}

}  // namespace zephra::app
