#include "platform/QtSoundPlayer.h"

#include <QFileInfo>
#include <QSoundEffect>
#include <QString>
#include <QUrl>

QtSoundPlayer::QtSoundPlayer() = default;

QtSoundPlayer::~QtSoundPlayer() = default;

void QtSoundPlayer::Play(const std::string& fileName) {
  if (fileName.empty()) {
    Stop();
    return;
  }
  if (!effect_) effect_ = std::make_unique<QSoundEffect>();
  // Bare names resolve against the working folder, as the other files do.
  const QUrl source = QUrl::fromLocalFile(QFileInfo(QString::fromStdString(fileName)).absoluteFilePath());
  effect_->stop();
  effect_->setSource(source);
  effect_->setLoopCount(QSoundEffect::Infinite);
  // A source still loading starts playing once it is loaded.
  effect_->play();
}

void QtSoundPlayer::Stop() {
  if (effect_) effect_->stop();
}
