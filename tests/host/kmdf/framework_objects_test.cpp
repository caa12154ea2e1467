// Framework objects as driver code sees them: typed contexts, parents and the order of cleanup,
// references that keep a deleted object's context, locks (including wait-lock time-outs and
// lock-order tracking of wait locks), and work items.
#include <ntddk.h>
#include <wdf.h>

#include <hostkernel/security.h>
#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>

#include <gmock/gmock.h>

#include <string>
#include <thread>

namespace {

namespace verifier = hostkernel::verifier;

struct OWNER_CONTEXT {
    ULONG Value;
    char Name[8];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OWNER_CONTEXT, OwnerGetContext)

struct EXTRA_CONTEXT {
    ULONG Extra;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(EXTRA_CONTEXT, ExtraGetContext)

struct WORK_CONTEXT {
    volatile LONG Runs;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORK_CONTEXT, WorkGetContext)

std::string cleanupOrder;
WDFDRIVER testDriver;

NTSTATUS NTAPI ObjectsDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    config.DriverInitFlags = WdfDriverInitNonPnpDriver;
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           &testDriver);
}

VOID NTAPI RecordCleanup(WDFOBJECT Object) {
    cleanupOrder += OwnerGetContext(Object)->Name;
}

// Framework objects under a control device, created and used as driver code.
class FrameworkObjectsTest : public hostkernel::testing::KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        cleanupOrder.clear();
        driver =
            std::make_unique<hostkernel::testing::DriverUnderTest>(L"Objects", ObjectsDriverEntry);
        scope = std::make_unique<hostkernel::DriverScope>(driver->Driver());
        DECLARE_CONST_UNICODE_STRING(sddl, L"D:P(A;;GA;;;SY)");
        PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(testDriver, &sddl);
        ASSERT_NE(init, nullptr);
        DECLARE_CONST_UNICODE_STRING(name, L"\\Device\\ObjectsTest");
        ASSERT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, OWNER_CONTEXT);
        ASSERT_EQ(WdfDeviceCreate(&init, &attributes, &device), STATUS_SUCCESS);
        EXPECT_EQ(init, nullptr);
        WdfControlFinishInitializing(device);
    }

    void TearDown() override {
        if (device != nullptr)
            WdfObjectDelete(device);
        scope.reset();
        driver.reset();
        KernelTest::TearDown();
    }

    WDFSPINLOCK ChildLock(WDFOBJECT parent, const char* name,
                          PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = RecordCleanup) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, OWNER_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = cleanup;
        WDFSPINLOCK lock = nullptr;
        EXPECT_EQ(WdfSpinLockCreate(&attributes, &lock), STATUS_SUCCESS);
        strncpy(OwnerGetContext(lock)->Name, name, sizeof(OwnerGetContext(lock)->Name) - 1);
        return lock;
    }

    std::unique_ptr<hostkernel::testing::DriverUnderTest> driver;
    std::unique_ptr<hostkernel::DriverScope> scope;
    WDFDEVICE device = nullptr;
};

TEST_F(FrameworkObjectsTest, ContextsAreZeroedTypedAndFoundFromTheirPointer) {
    OWNER_CONTEXT* context = OwnerGetContext(device);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->Value, 0u);
    EXPECT_EQ(WdfObjectContextGetObject(context), static_cast<WDFOBJECT>(device));
    EXPECT_EQ(WdfObjectGetTypedContext(device, OWNER_CONTEXT), context);

    EXPECT_EQ(ExtraGetContext(device), nullptr); // not this object's type
    EXPECT_TRUE(TookOneFinding(verifier::kFramework));

    WDF_OBJECT_ATTRIBUTES extra;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&extra, EXTRA_CONTEXT);
    PVOID added = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(device, &extra, &added), STATUS_SUCCESS);
    EXPECT_EQ(ExtraGetContext(device), added);
    EXPECT_EQ(WdfObjectAllocateContext(device, &extra, &added), STATUS_OBJECT_NAME_EXISTS);
}

WDFSPINLOCK childOfParent;

// A parent's cleanup takes its child's lock, as a device cleanup takes its list lock.
VOID NTAPI ParentCleanupUsingChild(WDFOBJECT Object) {
    RecordCleanup(Object);
    WdfSpinLockAcquire(childOfParent);
    WdfSpinLockRelease(childOfParent);
}

TEST_F(FrameworkObjectsTest, DeletingAParentCleansUpChildrenFirstAndTheirLocksStayUsableMeanwhile) {
    WDFSPINLOCK parent = ChildLock(device, "P;", ParentCleanupUsingChild);
    childOfParent = ChildLock(parent, "A;");
    ChildLock(parent, "B;");
    WdfObjectDelete(parent);
    EXPECT_EQ(cleanupOrder, "B;A;P;"); // newest child first, parent last; no finding so far
    EXPECT_EQ(verifier::FindingCount(), 0u);
    WdfSpinLockAcquire(childOfParent); // gone now
    EXPECT_TRUE(TookOneFinding(verifier::kDeletedObjectUse));
}

TEST_F(FrameworkObjectsTest, AReferenceKeepsADeletedObjectsContextUntilTheLastDereference) {
    WDFSPINLOCK lock = ChildLock(device, "L;");
    WdfObjectReference(lock);
    WdfObjectDelete(lock);
    EXPECT_EQ(cleanupOrder, "L;");
    OwnerGetContext(lock)->Value = 7; // still there
    EXPECT_EQ(verifier::FindingCount(), 0u);
    WdfObjectDereference(lock);
    WdfObjectGetTypedContext(lock, OWNER_CONTEXT);
    EXPECT_TRUE(TookOneFinding(verifier::kDeletedObjectUse));
    WdfObjectDelete(lock);
    EXPECT_TRUE(TookOneFinding(verifier::kDeletedObjectUse));
}

TEST_F(FrameworkObjectsTest, WaitLockTimesOutWhileHeldAndIsTrackedForLockOrder) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    WDFWAITLOCK waitLock;
    ASSERT_EQ(WdfWaitLockCreate(&attributes, &waitLock), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockAcquire(waitLock, nullptr), STATUS_SUCCESS);
    NTSTATUS other = STATUS_PENDING;
    std::thread contender([&] {
        LONGLONG timeout = WDF_REL_TIMEOUT_IN_MS(50);
        other = WdfWaitLockAcquire(waitLock, &timeout);
    });
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    hostkernel::AdvanceClockMs(50);
    contender.join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    LONGLONG poll = 0;
    EXPECT_EQ(WdfWaitLockAcquire(waitLock, &poll), STATUS_TIMEOUT);

    verifier::NameLock(hostkernel::testing::LockKey(waitLock), "DriverWaitLock");
    verifier::RequireHeldAlone(hostkernel::testing::LockKey(waitLock));
    WDFSPINLOCK spin = ChildLock(device, "S;");
    WdfSpinLockAcquire(spin); // taken while the wait lock is held
    WdfSpinLockRelease(spin);
    WdfWaitLockRelease(waitLock);
    auto findings = TakeFindings(verifier::kLockHeldAlone);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, ::testing::HasSubstr("DriverWaitLock"));
}

VOID NTAPI CountingWorkItem(WDFWORKITEM WorkItem) {
    InterlockedIncrement(&WorkGetContext(WorkItem)->Runs);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(FrameworkObjectsTest, WorkItemRunsOncePerEnqueueThatFindsItIdle) {
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, CountingWorkItem);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORK_CONTEXT);
    WDFWORKITEM item;
    EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item),
              STATUS_INVALID_PARAMETER); // no parent
    EXPECT_TRUE(TookOneFinding(verifier::kFramework));
    attributes.ParentObject = device;
    ASSERT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
    EXPECT_EQ(WdfWorkItemGetParentObject(item), static_cast<WDFOBJECT>(device));

    // Keep the worker thread busy so that the item is surely still queued at the second enqueue.
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    PIO_WORKITEM blocker = IoAllocateWorkItem(WdfDeviceWdmGetDeviceObject(device));
    IoQueueWorkItem(
        blocker,
        [](PDEVICE_OBJECT, PVOID event) {
            KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        },
        DelayedWorkQueue, &release);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old); // enqueued from a DPC, as the hold timer does
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item); // already queued: nothing more
    KeLowerIrql(old);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    WdfWorkItemFlush(item);
    ASSERT_TRUE(hostkernel::Settle());
    IoFreeWorkItem(blocker);
    EXPECT_EQ(WorkGetContext(item)->Runs, 1);
    WdfWorkItemEnqueue(item);
    ASSERT_TRUE(hostkernel::Settle());
    EXPECT_EQ(WorkGetContext(item)->Runs, 2);
    WdfObjectDelete(item);
}

// A control device whose SDDL the framework cannot turn into a descriptor is not created (its
// init stays the caller's); one it can is protected by it from the start.
TEST_F(FrameworkObjectsTest, ControlDeviceSddlIsAppliedOrTheDeviceIsNotCreated) {
    for (const wchar_t* refused : {L"D:P(A;;GA;;;S-1-5-99)", L"D:P(D;;GA;;;WD)",
                                   L"O:SYD:P(A;;GA;;;SY)", L"D:P(A;;ZZ;;;SY)", L"D:P"}) {
        SCOPED_TRACE(testing::Message() << std::wstring(refused).size());
        UNICODE_STRING sddl;
        RtlInitUnicodeString(&sddl, refused);
        PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(testDriver, &sddl);
        ASSERT_NE(init, nullptr);
        DECLARE_CONST_UNICODE_STRING(name, L"\\Device\\SddlTest");
        ASSERT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
        WDFDEVICE created = nullptr;
        EXPECT_EQ(WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &created),
                  STATUS_INVALID_PARAMETER);
        ASSERT_NE(init, nullptr);
        WdfDeviceInitFree(init);
        EXPECT_TRUE(TookOneFinding(hostkernel::verifier::kFramework));
    }
    const hostkernel::AppliedSecurity applied =
        hostkernel::DeviceSecurity(WdfDeviceWdmGetDeviceObject(device));
    ASSERT_TRUE(applied.applied);
    EXPECT_TRUE(applied.protectedDacl);
    ASSERT_EQ(applied.dacl.size(), 1u);
    EXPECT_EQ(applied.dacl[0].sid, "S-1-5-18");
    EXPECT_EQ(applied.dacl[0].mask, ACCESS_MASK(FILE_ALL_ACCESS));
}

TEST_F(FrameworkObjectsTest, ControlDeviceNamesCollideAndInitsAreFreedByTheirOwner) {
    EXPECT_EQ(hostkernel::testing::DeviceSddl(device), L"D:P(A;;GA;;;SY)");
    DECLARE_CONST_UNICODE_STRING(sddl, L"D:P(A;;GA;;;SY)");
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(testDriver, &sddl);
    DECLARE_CONST_UNICODE_STRING(name, L"\\Device\\ObjectsTest");
    ASSERT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
    WDFDEVICE second = nullptr;
    EXPECT_EQ(WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &second),
              STATUS_OBJECT_NAME_COLLISION);
    ASSERT_NE(init, nullptr); // still the caller's
    WdfDeviceInitFree(init);

    hostkernel::UserHandle handle;
    DECLARE_CONST_UNICODE_STRING(link, L"\\DosDevices\\ObjectsLink");
    EXPECT_EQ(hostkernel::UserHandle::Open(L"\\\\.\\ObjectsLink", &handle),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(WdfDeviceCreateSymbolicLink(device, &link), STATUS_SUCCESS);
    EXPECT_EQ(hostkernel::UserHandle::Open(L"\\\\.\\ObjectsLink", &handle), STATUS_SUCCESS);
    handle.Close();
    WdfObjectDelete(device);
    device = nullptr;
    EXPECT_FALSE(hostkernel::SymbolicLinkExists(L"\\DosDevices\\ObjectsLink"));
}

TEST(FrameworkRealTime, TimerFiresOnItsOwnInRealTime) {
    hostkernel::Start(hostkernel::ClockMode::RealTime);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -200000; // 20 ms
    // Taken before the timer is set, so a preemption between the two cannot shorten what
    // the test measures below the due time.
    auto start = std::chrono::steady_clock::now();
    KeSetTimer(&timer, due, nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
    hostkernel::Stop();
    EXPECT_EQ(verifier::TakeFindings().size(), 0u);
}

} // namespace
