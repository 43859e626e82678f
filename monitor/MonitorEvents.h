#pragma once
#include <string>
#include <vector>

#include "monitor/MonitorEvent.h"

// What the monitoring cycle reports as it works, for whoever shows or logs
// it (the window's status line, a service's log, a message bus). Every call
// is made on the cycle's thread, inside a tick or a start/stop; a listener
// must return quickly and must not throw. A listener switches over the
// kinds it cares about and lets the others pass.
class IMonitorEvents {
public:
  virtual ~IMonitorEvents() = default;
  virtual void On(const MonitorEvent& event) { (void)event; }
};

// Hands every event to each listener in the order they were added.
class MonitorEventFanout : public IMonitorEvents {
public:
  void Add(IMonitorEvents* listener) {
    if (listener) listeners_.push_back(listener);
  }
  void Remove(IMonitorEvents* listener) {
    for (auto it = listeners_.begin(); it != listeners_.end(); ++it)
      if (*it == listener) {
        listeners_.erase(it);
        return;
      }
  }

  void On(const MonitorEvent& event) override {
    for (auto* l : listeners_) l->On(event);
  }

private:
  std::vector<IMonitorEvents*> listeners_;
};
