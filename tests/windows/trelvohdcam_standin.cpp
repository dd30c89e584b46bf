// A stand-in trelvohdcam.dll with the library's three calls, so that the system links against an
// import library as it does against the real one. Never run; it creates no camera.
#define TRELVOHDCAM_BUILD
#include <trelvohdcam.h>

void* scCreateCamera(int, int, float, int) { return nullptr; }
int scSendFrame(void*, const void*) { return -1; }
void scDeleteCamera(void*) {}
