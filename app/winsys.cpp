// Placeholder: the window-system services are being built.
#include "winsys.h"
namespace kelv::winsys {
void InstallHandOver() {}
}  // namespace kelv::winsys
