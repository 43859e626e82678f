#pragma once
#include <cstdint>
#include <string>

#include "archive/EventLayout.h"
#include "monitor/ArmControl.h"
#include "vision/MotionRegion.h"

// Which mail an outcome is of.
enum class MailKind { Alert, PersonAlert, Summary, Health, Confirmation, Test };

// One thing the monitoring cycle reports, as a value: its kind and the
// fields that kind carries (the others stay empty). Made by the factories
// below, one per kind, so that an emitter names what happened and a
// listener switches over the kinds it cares about.
struct MonitorEvent {
  enum class Kind {
    // Monitoring switched on; detections count after `warmUpMs`.
    MonitoringStarted,
    MonitoringStopped,
    // A new frame differed from its reference by more than the threshold;
    // where, as the boxes of the largest changed regions (`regions`).
    MotionDetected,
    // With person confirmation: a person was found where it moved (`box`,
    // in frame pixels), or the motion went on without one for the whole
    // time given to the check.
    PersonDetected,
    MotionWithoutPerson,
    AlarmStarted,
    AlarmEnded,
    // An alert mail (`mail`: Alert or PersonAlert) was tried: `sent`
    // (accepted by the server), or not and why (`text`), in words a user
    // can act on.
    AlertMailDone,
    // An alarm's alert mail was not tried: the least spacing after the last
    // mail that went out lasts `secondsLeft` more seconds (once per alarm),
    // or, with `sameEvent`, the event it belongs to had its mail already
    // (once per event).
    AlertMailHeldBack,
    // Any other mail of ours was tried (`mail` says which): `sent`, or not
    // and why (`text`); `about` is a health mail's subject.
    MailDone,
    // A test alarm began: sound, mail, event folder and broker once each,
    // none of them a real alarm.
    TestAlarmStarted,
    // What became of one part of a test alarm, as a line (`text`); `ok`
    // when that part worked or was not wanted.
    TestAlarmStep,
    // A poll of the request mailbox: `ok` with `requests` answered and
    // `commands` carried out, or why it failed (`text`).
    RequestCheckDone,
    // The camera gave no new frame for a while, and later did again.
    CameraLost,
    CameraBack,
    // Something the user should know that does not stop monitoring (a mask
    // picture that cannot be read), in words a user can act on (`text`).
    Notice,
    // The message broker took the connection (`connected`, `text` where),
    // or lost or refused it and why (`text`).
    BrokerChanged,
    // An alarm's event folder is complete: its clip is closed (`archived`).
    EventArchived,
    // The events folder's file system fell below the free-space floor
    // (`belowFloor`: nothing more is recorded), or has room again; `text`
    // says how much is free. Once each way.
    ArchiveFloorChanged,
    // Monitoring was switched on or off, or its "until" changed (`arm`).
    ArmChanged,
    // Mails kept for sending again: `waiting` of them now.
    MailQueueChanged,
    // The camera would not open (`text`, in words a user can act on); it is
    // tried again in `retryMs` (0: not by itself). Said at the first failure
    // and each time the wait grows.
    CameraFailed,
    // A tick ended with an error (`text`); monitoring goes on. The window
    // shows it, a service logs it.
    TickFailed,
  };

  static MonitorEvent MonitoringStarted(unsigned warmUpMs);
  static MonitorEvent MonitoringStopped();
  static MonitorEvent MotionDetected(MotionRegions regions);
  static MonitorEvent PersonDetected(const MotionRegion& box);
  static MonitorEvent MotionWithoutPerson();
  static MonitorEvent AlarmStarted();
  static MonitorEvent AlarmEnded();
  static MonitorEvent AlertMailDone(bool sent, std::string failure, MailKind mail = MailKind::Alert);
  static MonitorEvent AlertMailHeldBack(int secondsLeft);
  static MonitorEvent AlertMailHeldForEvent();
  static MonitorEvent MailDone(MailKind mail, bool sent, std::string failure, std::string about = "");
  static MonitorEvent TestAlarmStarted();
  static MonitorEvent TestAlarmStep(std::string line, bool ok);
  static MonitorEvent RequestCheckDone(bool ok, int requests, std::string failure, int commands = 0);
  static MonitorEvent CameraLost();
  static MonitorEvent CameraBack();
  static MonitorEvent Notice(std::string text);
  static MonitorEvent BrokerChanged(bool connected, std::string detail);
  static MonitorEvent EventArchived(EventInfo event);
  static MonitorEvent ArchiveFloorChanged(bool belowFloor, std::string detail);
  static MonitorEvent ArmChanged(const ArmState& state);
  static MonitorEvent MailQueueChanged(int waiting);
  static MonitorEvent CameraFailed(std::string text, uint32_t retryMs);
  static MonitorEvent TickFailed(std::string what);

  Kind kind = Kind::Notice;
  unsigned warmUpMs = 0;
  MotionRegions regions;
  MotionRegion box;
  bool sent = false;
  bool ok = false;
  bool connected = false;
  bool belowFloor = false;
  bool sameEvent = false;
  MailKind mail = MailKind::Alert;
  int requests = 0;
  int commands = 0;
  int secondsLeft = 0;
  int waiting = 0;
  uint32_t retryMs = 0;
  // The failure, the notice or the detail, as the kind says.
  std::string text;
  std::string about;
  ArmState arm;
  EventInfo archived;

private:
  explicit MonitorEvent(Kind k) : kind(k) {}
};

// A camera failure on one line, with when it is tried again.
std::string CameraFailedLine(const MonitorEvent& event);
