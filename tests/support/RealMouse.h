#pragma once

#include <QPoint>
#include <QTest>
#include <QWidget>
#include <QWindow>

// A double-click as the window system delivers it: press, release, double-click, release,
// each handled in turn by the widget under the pointer. QTest's widget overload sends a
// lone double-click event, which hides faults in the handling of the events around it.
inline void RealDoubleClick(QWidget* widget, QPoint at) {
    QWidget* top = widget->window();
    QTest::mouseDClick(top->windowHandle(), Qt::LeftButton, {}, widget->mapTo(top, at));
}

// A click as the window system delivers it, so that a right button also asks for the
// context menu as a real one does.
inline void RealClick(QWidget* widget, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
    QWidget* top = widget->window();
    QTest::mouseClick(top->windowHandle(), button, {}, widget->mapTo(top, at));
}
