#include "rs232c.h"

#include "comthd.h"
#include "sjis.h"

Trs232c::Trs232c(TComponent* AOwner) : TComponent(AOwner) {
  paritymode = kelv::Sjis("無し");
  if (OnCreate) OnCreate(this);
}

Trs232c::~Trs232c() {
  Close();
}

void Trs232c::SetDeviceFactory(std::unique_ptr<serialdev::SerialDevice> (*factory)()) {
  factory_ = factory;
}

// The device operations arrive with the serial line; until then the component
// is always closed and every operation reports failure.
bool Trs232c::Open() {
  return false;
}
bool Trs232c::Close() {
  return false;
}
bool Trs232c::Read(void*, int32_t) {
  return false;
}
bool Trs232c::Write(const void*, int32_t) {
  return false;
}
bool Trs232c::ReadByte(uint8_t&) {
  return false;
}
bool Trs232c::WriteByte(uint8_t) {
  return false;
}
int32_t Trs232c::InQueueCount() {
  return -1;
}
bool Trs232c::SetRTS(bool) {
  return false;
}
bool Trs232c::SetDTR(bool) {
  return false;
}
void Trs232c::Release() {}
