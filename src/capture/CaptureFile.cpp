#include "capture/CaptureFile.h"
