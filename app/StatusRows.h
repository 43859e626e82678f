#pragma once
#include <QFont>
#include <QString>
#include <QStringList>

// The status text laid out in at most `rows` rows no wider than `width`
// pixels. A row ends between two parts when what follows still fits the
// rows left; otherwise after a punctuation mark, a bracket or a space,
// never inside a word (only a word longer than a row is cut). Only what
// the last row cannot hold is elided. The part `keep` (a notice the user
// must see) is never what is elided: when it would be, it takes the last
// row of its own and the other parts share the rows above.
QStringList StatusRows(const QString& text, const QString& separator, const QFont& font, int width,
                       int rows, const QString& keep = {});
