#include "app/StatusRows.h"

#include <algorithm>

#include <QFontMetrics>
#include <QTextLayout>

namespace {
struct Span {
  int start;
  int length;
};

// The lines the text wraps into at this width, as spans of the text.
QList<Span> Wrap(const QString& text, const QFont& font, int width) {
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  QList<Span> lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    lines.append({line.textStart(), line.textLength()});
  }
  layout.endLayout();
  return lines;
}

// A row neither starts nor ends with the bar between two parts.
QString WithoutBar(QString text, const QString& bar) {
  text = text.trimmed();
  if (text.startsWith(bar)) text = text.mid(bar.size()).trimmed();
  if (text.endsWith(bar)) text.chop(bar.size());
  return text.trimmed();
}
} // namespace

QStringList StatusRows(const QString& text, const QString& separator, const QFont& font, int width,
                       int rows) {
  const QFontMetrics metrics(font);
  const QString bar = separator.trimmed();
  QStringList out;
  QString rest = text;
  while (out.size() < rows - 1 && metrics.horizontalAdvance(rest) > width) {
    const int rowsAfter = rows - static_cast<int>(out.size()) - 1;
    // The most whole parts this row holds; fewer would leave more for the rest.
    int cut = -1;
    for (int at = rest.indexOf(separator); at > 0 && metrics.horizontalAdvance(rest.left(at)) <= width;
         at = rest.indexOf(separator, at + 1))
      cut = at;
    if (cut > 0) {
      const QString after = rest.mid(cut + separator.size());
      if (Wrap(after, font, width).size() <= rowsAfter) {
        out << rest.left(cut);
        rest = after;
        continue;
      }
    }
    const QList<Span> lines = Wrap(rest, font, width);
    if (lines.isEmpty()) break;
    const int length = std::max(lines.front().length, 1);
    out << WithoutBar(rest.left(length), bar);
    rest = WithoutBar(rest.mid(length), bar);
  }
  out << metrics.elidedText(rest, Qt::ElideRight, width);
  return out;
}
