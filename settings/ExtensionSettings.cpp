#include "settings/ExtensionSettings.h"

const std::vector<ExtensionSetting>& ExtensionSettings() {
#define VARDOCAM_SETTING_ENTRY(kind, NAME, def, least, most, group, input, control, label, unit, hint) \
  {FieldOf(#NAME, &typVardocam::NAME, def), least, most, SettingGroup::group,                        \
   SettingInput::input, control, label, unit, hint},
  static const std::vector<ExtensionSetting> settings = {
      VARDOCAM_EXTENSION_SETTINGS(VARDOCAM_SETTING_ENTRY)};
#undef VARDOCAM_SETTING_ENTRY
  return settings;
}

const std::vector<ExtensionGroup>& ExtensionGroups() {
  static const std::vector<ExtensionGroup> groups = {
      {SettingGroup::View, "映像の表示", "ViewGroup", GroupLayout::Rows},
      {SettingGroup::MotionDetail, " 動体検出の詳細 ", "MotionDetailGroup", GroupLayout::Rows},
      {SettingGroup::Mqtt, " MQTT連携 (ホームオートメーション) ", "MqttGroup", GroupLayout::Form},
      {SettingGroup::EventArchive, " イベントの記録 ", "EventArchiveGroup", GroupLayout::Rows},
      {SettingGroup::Remote, " 遠隔操作と予定 ", "RemoteGroup", GroupLayout::Form},
      {SettingGroup::Delivery, " メールの再送と見守り ", "DeliveryGroup", GroupLayout::Rows},
      {SettingGroup::Camera, " ネットワークカメラ ", "CameraGroup", GroupLayout::Rows},
  };
  return groups;
}

const ExtensionSetting* FindExtensionSetting(const std::string& name) {
  for (const ExtensionSetting& setting : ExtensionSettings())
    if (name == setting.field.name) return &setting;
  return nullptr;
}
