#include "capture/CameraSource.h"
#include "vision/Nsopencv.h"

// No capture source yet: every camera fails to open.
bool nsOpenCV::OpenCamera(int32_t) { return false; }

bool nsOpenCV::GrabFrameToFile(const std::string&) { return false; }

void nsOpenCV::CloseCamera() { camera_.reset(); }

bool nsOpenCV::HasNewFrame() const { return false; }
