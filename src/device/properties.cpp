// The device's properties: each one goes to the log as "name: value", and the one named
// "BBPIN" gives the PIN that names the device in the password prompt and the profile.
#include "device/worker.h"

#include <string_view>

#include "core/text.h"

namespace skiff {

namespace {

// A VARIANT cleared when it goes out of scope (errors of that late clear are ignored;
// the clears that matter are checked where they happen).
struct ScopedVariant {
  VARIANT value;
  ScopedVariant() { VariantInit(&value); }
  ~ScopedVariant() { VariantClear(&value); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  void Clear() {
    const HRESULT hr = VariantClear(&value);
    if (FAILED(hr)) throw ComError(hr, nullptr);
  }
};

struct ScopedBstr {
  BSTR text = nullptr;
  ScopedBstr() = default;
  ~ScopedBstr() { SysFreeString(text); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
};

template <typename Interface>
struct ScopedRef {
  Interface* pointer = nullptr;
  ScopedRef() = default;
  ~ScopedRef() {
    if (pointer != nullptr) pointer->Release();
  }
  ScopedRef(const ScopedRef&) = delete;
  ScopedRef& operator=(const ScopedRef&) = delete;
};

std::string BstrToAnsi(BSTR text) {
  if (text == nullptr) return {};
  return WideToAnsiString(std::u16string_view(AsWide(text), SysStringLen(text)));
}

// The failure of a value conversion, with the code the conversion returned.
void ThrowIfConversionFailed(HRESULT hr) {
  if (FAILED(hr)) throw ComError(hr, nullptr);
}

}  // namespace

void CDeviceWorker::ReadDeviceProperties(IDevMgrDevice* device) {
  ThrowIfNull(device);
  ScopedRef<IDevMgrDevice> ownDevice;
  device->AddRef();
  ownDevice.pointer = device;

  ScopedRef<IDevMgrPropertyList> list;
  ThrowIfFailed(device->GetProperties(&list.pointer), device, IID_IDevMgrDevice);
  ThrowIfNull(list.pointer);
  LONG count = 0;
  ThrowIfFailed(list.pointer->GetCount(&count), list.pointer, IID_IDevMgrPropertyList);

  for (LONG position = 0; position < count; ++position) {
    ScopedRef<IDevMgrProperty> property;
    {
      ScopedVariant index;
      index.value.vt = VT_I4;
      index.value.lVal = position;
      ThrowIfFailed(list.pointer->GetItem(index.value, &property.pointer), list.pointer,
                    IID_IDevMgrPropertyList);
      index.Clear();
    }
    ThrowIfNull(property.pointer);

    ScopedBstr name;
    ThrowIfFailed(property.pointer->GetName(&name.text), property.pointer, IID_IDevMgrProperty);
    const std::string nameText = BstrToAnsi(name.text);
    std::string line = nameText + ": ";

    ScopedVariant value;
    ThrowIfFailed(property.pointer->GetValue(&value.value), property.pointer, IID_IDevMgrProperty);
    if (name.text != nullptr && nameText == "BBPIN") {
      LONG pin = 0;
      if (value.value.vt == VT_I4) {
        pin = value.value.lVal;
      } else {
        ScopedVariant converted;
        ThrowIfConversionFailed(VariantChangeType(&converted.value, &value.value, 0, VT_I4));
        pin = converted.value.lVal;
      }
      // Written only once the value converted: a failing one keeps the previous PIN.
      m_dwPin.store(static_cast<std::uint32_t>(pin));
      value.Clear();
      line += PinText(static_cast<std::uint32_t>(pin));
    } else {
      std::string valueText;
      if (value.value.vt == VT_BSTR) {
        valueText = BstrToAnsi(value.value.bstrVal);
      } else {
        ScopedVariant converted;
        ThrowIfConversionFailed(VariantChangeType(&converted.value, &value.value, 0, VT_BSTR));
        valueText = BstrToAnsi(converted.value.bstrVal);
      }
      line += valueText;
      value.Clear();
    }
    m_log.Log(LogTo::LogAndConsole, line);
  }
}

}  // namespace skiff
