#pragma once
#include <QFont>
#include <QString>
#include <QStringList>

// The status text laid out in at most `rows` rows no wider than `width`
// pixels. A row ends between two parts when what follows still fits the
// rows left; otherwise the text wraps where Japanese text may break. Only
// what the last row cannot hold is elided.
QStringList StatusRows(const QString& text, const QString& separator, const QFont& font, int width,
                       int rows);
