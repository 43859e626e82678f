#pragma once
#include <functional>

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

// The two web addresses the dialog offers.
extern const char kHomePageUrl[];
extern const char kSupportPageUrl[];
// Shown in the dialog and printed by --version.
extern const char kVersionText[];

// The version dialog: product name and version, the maker, and links to the
// maker's home page and the product's support page.
class TAboutBox : public QDialog {
  Q_OBJECT
public:
  explicit TAboutBox(QWidget* parent = nullptr);

  // Hands an address to the default browser; tests replace it.
  std::function<void(const QString& address)> OpenUrl;

  QLabel* ProgramIcon;
  QLabel* ProductName;
  QLabel* Copyright;
  QLabel* HomePageLabel;
  QLabel* URLLabel;
  QLabel* SupportLabel;
  QLabel* URLLabel2;
  QFrame* Bevel1;
  QPushButton* OKButton;

  // Shared by both link labels: opens the address the label shows.
  void URLLabelClick(QLabel* sender);
  // Esc closes the dialog, whichever control has the focus.
  void FormKeyPress(int key);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

extern TAboutBox* AboutBox;
