#include <cstdio>

#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"

// The main window is not built yet: the program loads the user's settings,
// writes them back with every default filled in, and says so.
int main() {
  LoadSettings();
  const bool saved = SaveSettings();
  std::printf("防犯カメラ・ヴァルド: 画面はまだありません。設定を %s に%s\n",
              ZBRegIni::DefaultFilePath().c_str(),
              saved ? "保存しました。" : "保存できませんでした。");
  return saved ? 0 : 1;
}
