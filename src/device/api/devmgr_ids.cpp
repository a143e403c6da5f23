// The class id of the device manager and the ids of its interfaces. The interface ids
// share one tail and differ in their first field.
#include "device/api/devmgr.h"

namespace {
constexpr IID DevMgrIid(unsigned long head) noexcept {
  return {static_cast<std::uint32_t>(head), 0xA0F4, 0x46DF, {0xB8, 0x2A, 0x54, 0x8C, 0xFB, 0x08, 0x75, 0x5E}};
}
}  // namespace

const CLSID CLSID_DevMgr = {0xBA3D0120, 0xE617, 0x4F66, {0xAD, 0xCA, 0x58, 0x5C, 0xC2, 0xFB, 0x86, 0xDB}};

const IID IID_IDevMgrMain = DevMgrIid(0xC716830B);
const IID IID_IDevMgrDeviceList = DevMgrIid(0xC716830D);
const IID IID_IDevMgrDevice = DevMgrIid(0xC716830E);
const IID IID_IDevMgrPropertyList = DevMgrIid(0xC716830F);
const IID IID_IDevMgrProperty = DevMgrIid(0xC7168310);
const IID IID_IDevMgrChannel = DevMgrIid(0xC7168311);
const IID IID_IDevMgrChannelSink = DevMgrIid(0xC7168312);
