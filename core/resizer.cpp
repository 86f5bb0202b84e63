#include "resizer.h"

#include <QAbstractSpinBox>
#include <QEvent>
#include <QWidget>

ProportionalResizer::ProportionalResizer(QWidget* container) : QObject(container), mContainer(container)
{
    mDesignSize = container->size();
    const auto widgets = container->findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        // A spin box places its own line edit and buttons.
        if (!w->isWindow() && !qobject_cast<QAbstractSpinBox*>(w->parentWidget()))
            mDesign.insert(w, w->geometry());
    }
    container->installEventFilter(this);
}

bool ProportionalResizer::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == mContainer && event->type() == QEvent::Resize)
        rescale();
    return QObject::eventFilter(watched, event);
}

void ProportionalResizer::setDesignGeometry(QWidget* widget, const QRect& rect)
{
    mDesign.insert(widget, rect);
    rescale();
}

void ProportionalResizer::rescale()
{
    if (mDesignSize.isEmpty())
        return;
    const double sx = double(mContainer->width()) / mDesignSize.width();
    const double sy = double(mContainer->height()) / mDesignSize.height();
    for (auto it = mDesign.cbegin(); it != mDesign.cend(); ++it) {
        const QRect& r = it.value();
        it.key()->setGeometry(qRound(r.x() * sx), qRound(r.y() * sy), qRound(r.width() * sx), qRound(r.height() * sy));
    }
}
