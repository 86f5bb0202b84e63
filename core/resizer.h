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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rescale();

    QWidget* mContainer;
    QSize mDesignSize;
    QHash<QWidget*, QRect> mDesign;
};
