#include "app/StatusRows.h"

#include <algorithm>

#include <QFontMetrics>
#include <QTextLayout>

namespace {
// A row may end after a blank, after these (punctuation, closing brackets)...
const QString kBreakAfter = QString::fromUtf8("、。，．：；！？）」』】〕)!?;");
// ...or before these (opening brackets)...
const QString kBreakBefore = QString::fromUtf8("（「『【〔(");
// ...but never so that one of these starts a row.
const QString kNoRowStart = QString::fromUtf8("、。，．：；！？）」』】〕…)!?;:,.");

// Kinds of row ends, from a blank to the end between two parts.
constexpr int kBreakKinds = 3;
// A better kind of end is taken when the row is filled to 2/3 at least.
constexpr int kWellFilledParts = 2;
constexpr int kWellFilledOf = 3;

// The length of the first row when the text can only be cut anywhere.
int WrapAnywhere(const QString& text, const QFont& font, int width) {
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  QTextLine line = layout.createLine();
  int length = 0;
  if (line.isValid()) {
    line.setLineWidth(width);
    length = line.textLength();
  }
  layout.endLayout();
  return std::max(length, 1);
}

class Rows {
public:
  Rows(const QString& separator, const QFont& font, int width)
      : separator_(separator), bar_(separator.trimmed()), metrics_(font), font_(font), width_(width) {}

  bool Fits(const QString& text) const { return metrics_.horizontalAdvance(text) <= width_; }

  // A row neither starts nor ends with the bar between two parts.
  QString WithoutBar(QString text) const {
    text = text.trimmed();
    if (text.startsWith(bar_)) text = text.mid(bar_.size()).trimmed();
    if (text.endsWith(bar_)) text.chop(bar_.size());
    return text.trimmed();
  }

  // The length of the first row of `text`: it ends where a row may end and
  // fits. The end between two parts is best, then after punctuation or a
  // bracket, then at a blank, as long as the row is well filled; else the
  // longest row. A word longer than the row is cut where it must.
  int FirstRow(const QString& text) const {
    int longest[kBreakKinds] = {};
    for (int at = 1; at < text.size(); ++at) {
      const int kind = BreakKind(text, at);
      if (kind < 0) continue;
      if (!Fits(WithoutBar(text.left(at)))) break;
      longest[kind] = at;
    }
    for (int kind = kBreakKinds - 1; kind > 0; --kind)
      if (longest[kind] > 0 && metrics_.horizontalAdvance(text.left(longest[kind])) * kWellFilledOf >=
                                   width_ * kWellFilledParts)
        return longest[kind];
    const int best = *std::max_element(std::begin(longest), std::end(longest));
    return best > 0 ? best : WrapAnywhere(text, font_, width_);
  }

  // How many rows the text takes when broken only where a row may end.
  int Count(QString text) const {
    int count = 0;
    for (; !text.isEmpty(); ++count) {
      if (Fits(text)) return count + 1;
      text = WithoutBar(text.mid(FirstRow(text)));
    }
    return count;
  }

  // The text in at most `rows` rows, the last elided. `shown` gets how much
  // of the text is in sight (all of it when nothing was elided).
  QStringList Lay(const QString& text, int rows, int* shown = nullptr) const {
    QStringList out;
    QString rest = text;
    while (out.size() < rows - 1 && !Fits(rest)) {
      const int rowsAfter = rows - static_cast<int>(out.size()) - 1;
      // The most whole parts this row holds; fewer would leave more for the rest.
      int cut = -1;
      for (int at = rest.indexOf(separator_); at > 0 && Fits(rest.left(at)); at = rest.indexOf(separator_, at + 1))
        cut = at;
      const QString after = cut > 0 ? rest.mid(cut + separator_.size()) : QString();
      if (cut > 0 && Count(after) <= rowsAfter) {
        out << rest.left(cut);
        rest = after;
        continue;
      }
      const int length = FirstRow(rest);
      out << WithoutBar(rest.left(length));
      rest = WithoutBar(rest.mid(length));
    }
    const QString last = metrics_.elidedText(rest, Qt::ElideRight, width_);
    out << last;
    if (shown) {
      // What went before the last row, and of it what the ellipsis left.
      const int before = static_cast<int>(text.size() - rest.size());
      *shown = last == rest ? static_cast<int>(text.size()) : before + std::max<int>(0, last.size() - 1);
    }
    return out;
  }

private:
  // How good an end of a row before text[at] is: -1 none, 0 a blank,
  // 1 punctuation or a bracket, 2 between two parts.
  int BreakKind(const QString& text, int at) const {
    if (kNoRowStart.contains(text.at(at))) return -1;
    if (text.mid(at).startsWith(separator_)) return 2;
    const QChar before = text.at(at - 1);
    if (before.isSpace()) return 0;
    return kBreakAfter.contains(before) || kBreakBefore.contains(text.at(at)) ? 1 : -1;
  }

  QString separator_;
  QString bar_;
  QFontMetrics metrics_;
  QFont font_;
  int width_;
};
} // namespace

QStringList StatusRows(const QString& text, const QString& separator, const QFont& font, int width, int rows,
                       const QString& keep) {
  const Rows layout(separator, font, width);
  int shown = 0;
  QStringList out = layout.Lay(text, rows, &shown);
  if (keep.isEmpty() || rows < 2) return out;
  QStringList parts = text.split(separator);
  const qsizetype index = parts.indexOf(keep);
  if (index < 0) return out;
  qsizetype end = 0;
  for (qsizetype i = 0; i <= index; ++i) end += parts[i].size() + (i > 0 ? separator.size() : 0);
  if (end <= shown) return out;
  parts.removeAt(index);
  out = parts.isEmpty() ? QStringList() : layout.Lay(parts.join(separator), rows - 1);
  out << QFontMetrics(font).elidedText(keep, Qt::ElideRight, width);
  return out;
}
