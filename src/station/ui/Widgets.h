#pragma once
// What every widget of the station is given: the object name tests find it by, the name
// screen readers say, and a size of type readable from across the bench.
#include <QFont>
#include <QString>
#include <QWidget>

namespace ostra::station {

// widget, named objectName and, when accessibleName is given, said as that.
template <class W>
W* Named(W* widget, const char* objectName, const QString& accessibleName = {}) {
  widget->setObjectName(objectName);
  if (!accessibleName.isEmpty()) widget->setAccessibleName(accessibleName);
  return widget;
}

// The widget's type set at points (0: as it is), bold or not.
inline void SetType(QWidget* widget, int points, bool bold) {
  QFont font = widget->font();
  if (points > 0) font.setPointSize(points);
  font.setBold(bold);
  widget->setFont(font);
}

}  // namespace ostra::station
