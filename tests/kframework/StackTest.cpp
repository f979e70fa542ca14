#include <gtest/gtest.h>

#include "platform/kernel/Verifier.h"
#include "tests/kframework/TestStack.h"
#include "platform/kernel/WideText.h"

namespace {

using kfwtest::Stack;
using kfwtest::TestFdo;
using plat::DevnodeState;

bool Received(PDEVICE_OBJECT pdo, const std::string& what) {
  auto r = plat::TestBus::Received(pdo);
  return std::find(r.begin(), r.end(), what) != r.end();
}

TEST_F(Stack, StartGoesDownFirstThenEnablesTheInterfaceWithSynchronousOrPendingLowerDrivers) {
  struct Case {
    const char* what;
    bool pend;
    NTSTATUS startStatus;
    DevnodeState state;
    size_t interfaces;  // on top of the fixture's own device
  } cases[] = {
      {"synchronous lower driver", false, STATUS_SUCCESS, DevnodeState::Started, 1},
      {"pending lower driver", true, STATUS_SUCCESS, DevnodeState::Started, 1},
      {"lower driver fails the start", false, STATUS_UNSUCCESSFUL, DevnodeState::Failed, 0},
      {"lower driver fails it later", true, STATUS_UNSUCCESSFUL, DevnodeState::Failed, 0},
  };
  int instance = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    plat::TestBusChild child{kfwtest::kFunctionId, std::u16string(1, static_cast<char16_t>(u'0' + instance++))};
    child.pendIrps = c.pend;
    child.startStatus = c.startStatus;
    PDEVICE_OBJECT other = plat::TestBus::Plug(child);
    EXPECT_EQ(plat::PnpState(other), c.state);
    EXPECT_TRUE(Received(other, "PNP 0x00"));
    EXPECT_EQ(EnabledInterfaces(), 1 + c.interfaces);
    if (c.state == DevnodeState::Started) {
      EXPECT_TRUE(kfwtest::gLastFdo->mPnpState & PnpDeviceBase::kStarted);
      EXPECT_EQ(kfwtest::gLastFdo->mRequestCount, 1);
    } else {
      EXPECT_TRUE(Received(other, "PNP 0x02")) << "a failed start is followed by REMOVE";
    }
    plat::TestBus::Unplug(other);
  }
  EXPECT_EQ(EnabledInterfaces(), 1u);
}

TEST_F(Stack, HeldRequestsRunWhenReleasedAndEndWhenCancelled) {
  struct Case {
    const char* what;
    std::vector<UCHAR> before;  // PnP minors sent before the request
    std::function<void(Stack*, PFILE_OBJECT, PIRP)> release;
    NTSTATUS status;
    bool served;
  } cases[] = {
      {"held while stop is pending, run at cancel-stop", {IRP_MN_QUERY_STOP_DEVICE},
       [](Stack* t, PFILE_OBJECT, PIRP) { t->Send(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE); }, STATUS_SUCCESS, true},
      {"held while stopped, run when start succeeds", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE},
       [](Stack* t, PFILE_OBJECT, PIRP) { t->Send(IRP_MJ_PNP, IRP_MN_START_DEVICE); }, STATUS_SUCCESS, true},
      {"held while remove is pending, run at cancel-remove", {IRP_MN_QUERY_REMOVE_DEVICE},
       [](Stack* t, PFILE_OBJECT, PIRP) { t->Send(IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE); }, STATUS_SUCCESS, true},
      {"cancelled by its sender", {IRP_MN_QUERY_STOP_DEVICE},
       [](Stack* t, PFILE_OBJECT, PIRP irp) {
         IoCancelIrp(irp);
         t->Send(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE);
       }, STATUS_CANCELLED, false},
      {"cancelled by the cleanup of its file", {IRP_MN_QUERY_STOP_DEVICE},
       [](Stack* t, PFILE_OBJECT file, PIRP) {
         t->Close(file);
         t->Send(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE);
       }, STATUS_CANCELLED, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fdo->served.clear();
    PFILE_OBJECT file = Open();
    // Queries are refused while the device is open; the request arrives on a handle opened before.
    fdo->mQueryStopPolicy = fdo->mQueryRemovePolicy = 0;
    for (UCHAR minor : c.before) EXPECT_EQ(Send(IRP_MJ_PNP, minor)->status.Status, STATUS_SUCCESS);
    auto r = Control(file);
    ASSERT_FALSE(r->done) << "held";
    EXPECT_EQ(fdo->mRequestCount, 1) << "a held request holds no count";
    c.release(this, file, r->irp);
    EXPECT_TRUE(r->done);
    EXPECT_EQ(r->status.Status, c.status);
    EXPECT_EQ(!fdo->served.empty(), c.served);
    EXPECT_EQ(fdo->mRequestCount, 1);
    EXPECT_TRUE(fdo->mPnpState & PnpDeviceBase::kStarted);
    if (std::find(files.begin(), files.end(), file) != files.end()) Close(file);
  }
}

TEST_F(Stack, AReleaseWhileTheStateStillHoldsRequestsHoldsThemAgainAndReturns) {
  PFILE_OBJECT file = Open();
  fdo->mQueryStopPolicy = 0;
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE)->status.Status, STATUS_SUCCESS);
  auto r = Control(file);
  ASSERT_FALSE(r->done);
  fdo->ReleaseQueuedIrps(FALSE);  // stop still pending: the request is held again, once
  EXPECT_FALSE(r->done);
  Send(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE);
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status.Status, STATUS_SUCCESS);
  Close(file);
}

TEST_F(Stack, QueriesAreRefusedByTheirPolicyAndTheDriver) {
  struct Case {
    const char* what;
    UCHAR query;
    bool open;
    bool inFlight;
    ULONG extraPolicy;
    NTSTATUS driverAnswer;
    NTSTATUS status;
  } cases[] = {
      {"stop, nothing open", IRP_MN_QUERY_STOP_DEVICE, false, false, 0, STATUS_SUCCESS, STATUS_SUCCESS},
      {"stop while open", IRP_MN_QUERY_STOP_DEVICE, true, false, 0, STATUS_SUCCESS, STATUS_DEVICE_BUSY},
      {"stop while a request is in flight", IRP_MN_QUERY_STOP_DEVICE, false, true, 0, STATUS_SUCCESS, STATUS_DEVICE_BUSY},
      {"stop refused by the driver", IRP_MN_QUERY_STOP_DEVICE, false, false, 0, STATUS_DEVICE_BUSY, STATUS_DEVICE_BUSY},
      {"stop, waiting for idle", IRP_MN_QUERY_STOP_DEVICE, false, false, 0x10, STATUS_SUCCESS, STATUS_SUCCESS},
      {"remove, nothing open", IRP_MN_QUERY_REMOVE_DEVICE, false, false, 0, STATUS_SUCCESS, STATUS_SUCCESS},
      {"remove while open", IRP_MN_QUERY_REMOVE_DEVICE, true, false, 0, STATUS_SUCCESS, STATUS_DEVICE_BUSY},
      {"remove refused by the driver", IRP_MN_QUERY_REMOVE_DEVICE, false, false, 0, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fdo->SetDefaultPnpPolicy();
    fdo->mQueryStopPolicy |= c.extraPolicy;
    fdo->queryStatus = c.driverAnswer;
    PFILE_OBJECT file = c.open || c.inFlight ? Open() : nullptr;
    std::shared_ptr<plat::IoRequest> stream;
    if (c.inFlight) {
      fdo->keepAsStream = true;
      stream = Control(file);
      Close(file);
    }
    bool remove = c.query == IRP_MN_QUERY_REMOVE_DEVICE;
    plat::TestBus::ClearReceived(pdo);
    auto r = Send(IRP_MJ_PNP, c.query);
    EXPECT_EQ(r->status.Status, c.status);
    EXPECT_EQ(Received(pdo, remove ? "PNP 0x01" : "PNP 0x05"), NT_SUCCESS(c.status)) << "passed down only when agreed";
    ULONG pending = remove ? PnpDeviceBase::kRemovePending : PnpDeviceBase::kStopPending;
    EXPECT_EQ((fdo->mPnpState & pending) != 0, NT_SUCCESS(c.status));
    if (NT_SUCCESS(c.status)) Send(IRP_MJ_PNP, remove ? IRP_MN_CANCEL_REMOVE_DEVICE : IRP_MN_CANCEL_STOP_DEVICE);
    fdo->StopStreams();
    fdo->keepAsStream = false;
    if (c.open) Close(file);
    EXPECT_EQ(fdo->mRequestCount, 1) << "every road releases its count exactly once";
    EXPECT_EQ(fdo->mPnpState, PnpDeviceBase::kStarted);
  }
}

TEST_F(Stack, QueryRemoveDoesNotWaitForRunningStreamsAndRemoveStopsThemFirst) {
  fdo->keepAsStream = true;
  PFILE_OBJECT file = Open();
  auto stream = Control(file);
  Close(file);
  ASSERT_FALSE(stream->done);
  auto query = Send(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
  EXPECT_TRUE(query->done) << "the query does not wait for the stream";
  EXPECT_EQ(query->status.Status, STATUS_SUCCESS);
  std::u16string name = FdoName();
  auto remove = Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  EXPECT_TRUE(remove->done);
  EXPECT_EQ(remove->status.Status, STATUS_SUCCESS);
  EXPECT_EQ(stream->status.Status, STATUS_CANCELLED);
  PFILE_OBJECT again = nullptr;
  EXPECT_EQ(plat::IoOpenFile(name, &again), STATUS_OBJECT_NAME_NOT_FOUND) << "deleted: nothing had it open";
}

TEST_F(Stack, RemoveFlushesHeldRequestsWithDeletePending) {
  PFILE_OBJECT file = Open();
  fdo->mQueryRemovePolicy = 0;
  Send(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
  auto held = Control(file);
  ASSERT_FALSE(held->done);
  Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(held->status.Status, STATUS_DELETE_PENDING);
}

TEST_F(Stack, RemoveWithAnOpenHandleDeletesAtTheLastCloseWhichNeverReachesTheOldStack) {
  PFILE_OBJECT file = Open();
  std::u16string name = FdoName();
  auto remove = Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(remove->status.Status, STATUS_SUCCESS);
  EXPECT_TRUE(fdo->mPnpState & PnpDeviceBase::kRemoved) << "still there: a handle is open";
  EXPECT_EQ(fdo->mLink.mLowerDevice, nullptr) << "detached";
  auto late = Control(file);
  EXPECT_EQ(late->status.Status, STATUS_DELETE_PENDING);
  plat::TestBus::ClearReceived(pdo);
  Close(file);
  EXPECT_TRUE(plat::TestBus::Received(pdo).empty()) << "CLEANUP and CLOSE completed locally";
  PFILE_OBJECT again = nullptr;
  EXPECT_EQ(plat::IoOpenFile(name, &again), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Stack, SurpriseRemovalWithAnOpenHandleRemovesAtTheLastClose) {
  PFILE_OBJECT file = Open();
  std::u16string name = FdoName();
  plat::TestBus::Unplug(pdo);
  EXPECT_EQ(plat::PnpState(pdo), DevnodeState::SurpriseRemoved);
  EXPECT_TRUE(fdo->mPnpState & PnpDeviceBase::kSurpriseRemoved);
  EXPECT_EQ(EnabledInterfaces(), 0u);
  LONG openBefore = fdo->mOpenCount;
  struct Case {
    const char* what;
    std::function<NTSTATUS()> request;
    NTSTATUS status;
  } cases[] = {
      {"a new open", [&] { PFILE_OBJECT f = nullptr; return plat::IoOpenFile(name, &f); }, STATUS_DELETE_PENDING},
      {"a request on the open handle", [&] { return Control(file)->status.Status; }, STATUS_DELETE_PENDING},
      {"a PnP query", [&] { return Send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES)->status.Status; }, STATUS_DELETE_PENDING},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.request(), c.status);
  }
  EXPECT_EQ(fdo->mOpenCount, openBefore);
  Close(file);
  plat::PnpSettle();
  PFILE_OBJECT again = nullptr;
  EXPECT_EQ(plat::IoOpenFile(name, &again), STATUS_OBJECT_NAME_NOT_FOUND) << "removed and deleted at the close";
}

TEST_F(Stack, CreateIsRefusedOnceARemoveIsPending) {
  Send(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
  Open(STATUS_DELETE_PENDING);
  Send(IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE);
  Close(Open());
}

TEST_F(Stack, ACloseDuringTheRemovesWaitDoesNotDeadlockIt) {
  fdo->keepAsStream = true;
  fdo->stopStreamsOnRemove = false;
  PFILE_OBJECT file = Open();
  auto stream = Control(file);
  files.clear();
  // The stream ends 5 ms on; at 1 ms the handle is closed from another thread while REMOVE waits.
  sched.After(5 * plat::kNsPerMs, [this] { fdo->StopStreams(); });
  sched.Spawn("closer", [file] {
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    plat::IoCloseFile(file);
  });
  auto remove = plat::IoSend(Fdo(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  sched.RunFor(10 * plat::kNsPerMs);
  EXPECT_TRUE(remove->done);
  EXPECT_EQ(stream->status.Status, STATUS_CANCELLED);
}

TEST_F(Stack, InterfacesAreEnabledWhileStartedAndOpenTheStack) {
  struct Step {
    UCHAR minor;
    size_t enabled;
  } steps[] = {{IRP_MN_QUERY_STOP_DEVICE, 1}, {IRP_MN_STOP_DEVICE, 0}, {IRP_MN_START_DEVICE, 1}};
  EXPECT_EQ(EnabledInterfaces(), 1u);
  for (const auto& s : steps) {
    Send(IRP_MJ_PNP, s.minor);
    EXPECT_EQ(EnabledInterfaces(), s.enabled) << int(s.minor);
  }
  PWSTR list = nullptr;
  ASSERT_EQ(IoGetDeviceInterfaces(&kfwtest::kTestInterface, pdo, 0, &list), STATUS_SUCCESS);
  std::u16string link = plat::U16(list);
  ExFreePool(list);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(plat::IoOpenFile(link, &file), STATUS_SUCCESS);
  EXPECT_EQ(IoGetRelatedDeviceObject(file), Fdo()) << "the interface names the PDO; CREATE goes to the top";
  EXPECT_EQ(fdo->mOpenCount, 1);
  plat::IoCloseFile(file);
}

TEST_F(Stack, AnUnservedMajorFunctionIsNotImplementedAndReleasesItsCount) {
  auto r = Send(IRP_MJ_READ, 0);
  EXPECT_EQ(r->status.Status, STATUS_INVALID_DEVICE_REQUEST) << "READ has no dispatch routine in this driver";
  r = Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
  EXPECT_EQ(r->status.Status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(fdo->mRequestCount, 1);
}

}  // namespace

namespace {

using kfwtest::Stack;

TEST_F(Stack, PolicyWordsDecideWhetherARequestIsHeldRefusedOrServed) {
  struct Case {
    const char* what;
    bool stop;      // the device is stopped when the request arrives (else removed, a handle open)
    ULONG general;  // mGeneralPolicy
    ULONG hold;     // mHoldPolicy
    bool held;
    NTSTATUS status;
  } cases[] = {
      {"stopped, held by hold 0x4", true, 0x7F, 0x4, true, STATUS_SUCCESS},
      {"stopped, refused by general 0x2", true, 0x02, 0, false, STATUS_UNSUCCESSFUL},
      {"stopped, served without either", true, 0, 0, false, STATUS_SUCCESS},
      {"removed, refused by general 0x1", false, 0x7F, 0, false, STATUS_DELETE_PENDING},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PFILE_OBJECT file = Open();
    fdo->mQueryStopPolicy = 0;
    if (c.stop) {
      Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
      Send(IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
    } else {
      Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    }
    fdo->mGeneralPolicy = c.general;
    fdo->mHoldPolicy = c.hold;
    auto r = Control(file);
    EXPECT_EQ(!r->done, c.held);
    fdo->SetDefaultPnpPolicy();
    if (c.stop) Send(IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_TRUE(r->done);
    EXPECT_EQ(r->status.Status, c.status);
    Close(file);
  }
}

TEST_F(Stack, AFailedConstructionIsReportedAndDeletesItsDeviceObjectOnce) {
  // Over a device that is no PDO the interface cannot be registered.
  TestFdo* broken = KernelNew<TestFdo>(NonPagedPool, Fdo(), L"Broken");
  ASSERT_NE(broken, nullptr);
  EXPECT_EQ(broken->mConstructStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(broken->mLink.mLowerDevice, nullptr) << "a failed device does not join the stack";
  ASSERT_NE(broken->mDeviceObject, nullptr);
  broken->Delete();
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(plat::IoOpenFile(u"\\Device\\Broken", &file), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Stack, TheDeviceStateTableIsOnlyReadWithinItsBounds) {
  fdo->mDevicePowerState = PowerDeviceD1;
  fdo->mCapabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  struct Case {
    SYSTEM_POWER_STATE system;
    DEVICE_POWER_STATE device;
  } cases[] = {{PowerSystemSleeping3, PowerDeviceD2}, {PowerSystemHibernate, PowerDeviceD1},
               {PowerSystemMaximum, PowerDeviceD1}};
  for (const auto& c : cases) EXPECT_EQ(fdo->DevicePowerStateFor(c.system), c.device) << int(c.system);
  fdo->mDevicePowerState = PowerDeviceD0;
}

}  // namespace
