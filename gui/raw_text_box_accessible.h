#pragma once

class QAccessibleInterface;
class QObject;
class QString;

// The accessibility bridge of RawTextBox: a factory for QAccessible::installFactory
// that gives assistive tools the box's raw text, its cursor and its selection.
QAccessibleInterface *rawTextBoxAccessibleFactory(const QString &className, QObject *object);
