#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

class QWidget;

// Keeps a window's layout proportional: every control keeps its share of the
// container's width and height as the window grows or shrinks.
class ProportionalResizer : public QObject
{
    Q_OBJECT

public:
    // Takes the container's current size and its controls' current geometry as the design.
    explicit ProportionalResizer(QWidget* container);

    // Where `widget` sits in the container at its design size, and a new such place for it, kept from now
    // on in proportion as the rest.
    QRect designGeometry(QWidget* widget) const { return mDesign.value(widget); }
    void setDesignGeometry(QWidget* widget, const QRect& rect);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rescale();

    QWidget* mContainer;
    QSize mDesignSize;
    QHash<QWidget*, QRect> mDesign;
};
