#pragma once

// The open camera or stream behind nsOpenCV's capture operations.
class CameraSource {
public:
  virtual ~CameraSource() = default;
};
