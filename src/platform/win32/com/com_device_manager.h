// Creation of the device manager on Windows: the COM server found by its class id, in
// the multithreaded apartment that the watcher thread joins.
#pragma once

#include "platform/platform.h"

namespace skiff {

class CComDeviceManagerFactory : public IDeviceManagerFactory {
 public:
  // classId: the device manager's (CLSID_DevMgr); tests name a class of their own.
  explicit CComDeviceManagerFactory(const CLSID& classId);
  CComDeviceManagerFactory();

  // Joins the multithreaded apartment, then creates the server (any context: in-process,
  // handler, local or remote), runs it with OleRun and asks it for IDevMgrMain. The
  // IUnknown is released whatever happens; the first failing HRESULT is returned. When
  // running or the query failed and the object reports errors for that interface, its
  // error object is left on the thread (GetErrorInfo) to describe the failure.
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override;
  // The watcher thread's end: it leaves the apartment as often as it joined.
  void WatcherThreadEnding() override { LeaveApartment(); }

  // The calling thread joins the multithreaded apartment. Done at every attempt, since
  // an attempt may come after something else left it; each join that succeeds is
  // counted so that LeaveApartment can undo every one.
  static void JoinApartment();
  // The calling thread leaves the apartment as often as it joined it. Called when the
  // watcher thread ends, after the device manager has been released.
  static void LeaveApartment();

 private:
  const CLSID m_classId;
};

}  // namespace skiff
