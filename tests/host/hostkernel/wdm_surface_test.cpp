// The host kernel as WDM code sees it: IRPs through a stack of devices with completion routines,
// timers and DPCs on the test clock, waits with time-outs, pool with tags, spin-lock order, named
// devices and links, and the user-mode view of a METHOD_NEITHER request.
#include <ntddk.h>

#include <kmdf_testing/kernel_test.h>

#include <gmock/gmock.h>

#include <string>
#include <thread>

namespace {

using hostkernel::PendingIo;
using hostkernel::UserHandle;
namespace verifier = hostkernel::verifier;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr ULONG kTestTag = 0x74736554; // "Test"
constexpr ULONG kIoctlNeither =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIoctlMismatch =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Two plain WDM drivers: a lower one that keeps requests pending until told, and an upper one that
// forwards with a completion routine. What happens is written to a trace.
std::string trace;
PIRP lowerPending;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlNeither) {
            // Raw caller pointers: reverse the input into the output.
            auto in = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
            auto out = static_cast<UCHAR*>(Irp->UserBuffer);
            ULONG n = stack->Parameters.DeviceIoControl.InputBufferLength;
            for (ULONG i = 0; i < n; ++i)
                out[i] = in[n - 1 - i];
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = n;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlMismatch) {
            Irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS; // not what it completed with
        }
        break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        trace += "lower-pends;";
        IoMarkIrpPending(Irp);
        lowerPending = Irp;
        return STATUS_PENDING;
    default:
        break;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (auto& dispatch : DriverObject->MajorFunction)
        dispatch = LowerDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    trace += "upper-completion(irql " + std::to_string(KeGetCurrentIrql()) + ", own device " +
             (DeviceObject == Context ? "yes" : "no") + ", pending " +
             (Irp->PendingReturned ? "yes" : "no") + ");";
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto lower = *static_cast<PDEVICE_OBJECT*>(DeviceObject->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UpperCompletion, DeviceObject, TRUE, TRUE, TRUE);
    trace += "upper-forwards;";
    return IoCallDriver(lower, Irp);
}

NTSTATUS NTAPI UpperEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (auto& dispatch : DriverObject->MajorFunction)
        dispatch = UpperDispatch;
    return STATUS_SUCCESS;
}

class WdmSurfaceTest : public hostkernel::testing::KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        trace.clear();
        lowerPending = nullptr;
        lowerDriver = hostkernel::LoadDriver(L"Lower", LowerEntry);
        upperDriver = hostkernel::LoadDriver(L"Upper", UpperEntry);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\LowerDev");
        ASSERT_EQ(IoCreateDevice(lowerDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower),
                  STATUS_SUCCESS);
        lower->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &upper),
                  STATUS_SUCCESS);
        *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) =
            IoAttachDeviceToDeviceStack(upper, lower);
        upper->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void TearDown() override {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        KernelTest::TearDown();
    }

    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT upperDriver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
};

TEST_F(WdmSurfaceTest, CompletionRoutinesRunUpTheStackAtTheCompletersIrql) {
    EXPECT_EQ(upper->StackSize, 2);
    PendingIo io = hostkernel::SendInternalDeviceControl(upper, 0x220003, nullptr);
    EXPECT_EQ(io.DispatchStatus(), STATUS_PENDING);
    ASSERT_NE(lowerPending, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    lowerPending->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(lowerPending, IO_NO_INCREMENT);
    KeLowerIrql(old);
    ASSERT_TRUE(io.IsComplete());
    EXPECT_EQ(trace,
              "upper-forwards;lower-pends;upper-completion(irql 2, own device yes, pending yes);");
}

TEST_F(WdmSurfaceTest, CompletingARequestTwiceIsReported) {
    PendingIo io = hostkernel::SendInternalDeviceControl(upper, 0x220003, nullptr);
    PIRP irp = lowerPending;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT); // the IRP has been freed by its sender by now
    auto findings = TakeFindings(verifier::kExactlyOnceCompletion);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, HasSubstr("already been completed"));
}

TEST_F(WdmSurfaceTest, NamesLinksAndOpensBehaveAsOnWindows) {
    UNICODE_STRING duplicate;
    RtlInitUnicodeString(&duplicate, L"\\Device\\LOWERDEV");
    PDEVICE_OBJECT other = nullptr;
    EXPECT_EQ(IoCreateDevice(lowerDriver, 0, &duplicate, FILE_DEVICE_UNKNOWN, 0, FALSE, &other),
              STATUS_OBJECT_NAME_COLLISION);

    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\LowerLink");
    RtlInitUnicodeString(&target, L"\\Device\\LowerDev");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(hostkernel::FindDevice(L"\\\\.\\LowerLink"), lower);
    EXPECT_EQ(hostkernel::FindDevice(L"\\??\\lowerlink"), lower);

    UserHandle handle;
    EXPECT_EQ(UserHandle::Open(L"\\\\.\\NoSuchLink", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    lower->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(UserHandle::Open(L"\\\\.\\LowerLink", &handle), STATUS_NO_SUCH_DEVICE);
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(UserHandle::Open(L"\\\\.\\LowerLink", &handle), STATUS_SUCCESS);
    // Requests on a handle go to the top of the named device's stack.
    EXPECT_EQ(handle.Device(), lower);
    handle.Close();
    EXPECT_TRUE(handle.CloseDelivered());
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(WdmSurfaceTest, MethodNeitherPassesTheCallersPointersAndStatusMismatchIsReported) {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\LowerLink");
    RtlInitUnicodeString(&target, L"\\Device\\LowerDev");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    IoDetachDevice(lower); // talk to the lower device alone
    UserHandle handle;
    ASSERT_EQ(UserHandle::Open(L"\\\\.\\LowerLink", &handle), STATUS_SUCCESS);
    auto result = handle.DeviceIoControl(kIoctlNeither, {1, 2, 3}, std::vector<uint8_t>(4, 9));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_THAT(result.output, ElementsAre(3, 2, 1, 9));
    handle.DeviceIoControl(kIoctlMismatch, {}, 0);
    EXPECT_TRUE(TookOneFinding(verifier::kExactlyOnceCompletion));
    handle.Close();
    IoDeleteSymbolicLink(&link);
    *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) =
        IoAttachDeviceToDeviceStack(upper, lower);
}

// ---- Time ----

struct TimerProbe {
    KTIMER timer;
    KDPC dpc;
    std::vector<std::pair<ULONGLONG, KIRQL>> fired; // time and IRQL of each DPC run
    std::string* order = nullptr;
    const char* name = "";
};

VOID NTAPI ProbeDpc(PKDPC, PVOID Context, PVOID, PVOID) {
    auto* probe = static_cast<TimerProbe*>(Context);
    probe->fired.emplace_back(KeQueryInterruptTime(), KeGetCurrentIrql());
    if (probe->order)
        *probe->order += probe->name;
}

class KernelTimeTest : public hostkernel::testing::KernelTest {};

TEST_F(KernelTimeTest, TimerFiresExactlyAtItsDueTimeAtDispatchLevel) {
    TimerProbe probe;
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
    LARGE_INTEGER due;
    due.QuadPart = -1000000; // 100 ms
    EXPECT_FALSE(KeSetTimer(&probe.timer, due, &probe.dpc));
    hostkernel::AdvanceClockMs(99);
    EXPECT_TRUE(probe.fired.empty());
    hostkernel::AdvanceClockMs(5);
    ASSERT_EQ(probe.fired.size(), 1u);
    EXPECT_EQ(probe.fired[0].first, 1000000u); // at 100 ms, not at 104
    EXPECT_EQ(probe.fired[0].second, DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&probe.timer));
}

TEST_F(KernelTimeTest, ReArmingPushesTheDueTimeAndCancelStopsIt) {
    TimerProbe probe;
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
    LARGE_INTEGER due;
    due.QuadPart = -1000000;
    KeSetTimer(&probe.timer, due, &probe.dpc);
    hostkernel::AdvanceClockMs(60);
    EXPECT_TRUE(KeSetTimer(&probe.timer, due, &probe.dpc)); // was still set
    hostkernel::AdvanceClockMs(60);
    EXPECT_TRUE(probe.fired.empty());
    hostkernel::AdvanceClockMs(40);
    ASSERT_EQ(probe.fired.size(), 1u);
    EXPECT_EQ(probe.fired[0].first, 1600000u);

    KeSetTimer(&probe.timer, due, &probe.dpc);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    hostkernel::AdvanceClockMs(200);
    EXPECT_EQ(probe.fired.size(), 1u);
}

TEST_F(KernelTimeTest, TimersFireInDueOrderWhateverOrderTheyWereSet) {
    std::string order;
    TimerProbe late, early;
    late.order = early.order = &order;
    late.name = "late;";
    early.name = "early;";
    for (TimerProbe* p : {&late, &early}) {
        KeInitializeTimer(&p->timer);
        KeInitializeDpc(&p->dpc, ProbeDpc, p);
    }
    LARGE_INTEGER dueLate, dueEarly;
    dueLate.QuadPart = -300000;
    dueEarly.QuadPart = -100000;
    KeSetTimer(&late.timer, dueLate, &late.dpc);
    KeSetTimer(&early.timer, dueEarly, &early.dpc);
    hostkernel::AdvanceClockMs(50);
    EXPECT_EQ(order, "early;late;");
}

// A waiter whose wait has ended, by its time-out or its event, is known to have left the wait
// once WaitForEndedWaits returns, so that a test can count who still waits; one whose wait runs
// on is not waited for.
TEST_F(KernelTimeTest, EndedWaitsAreLeftBeforeWaitForEndedWaitsReturns) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto waitMs = [&](LONGLONG ms) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ms * 10000;
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    };
    std::thread shortWait([&] { waitMs(100); });
    std::thread longWait([&] { waitMs(1000); });
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(2));
    for (int round = 0; round < 20; ++round) {
        hostkernel::AdvanceClockMs(round == 0 ? 100 : 0);
        ASSERT_TRUE(hostkernel::WaitForEndedWaits(std::chrono::seconds(5)));
        EXPECT_TRUE(hostkernel::WaitForTimedWaiters(1, std::chrono::milliseconds(0)));
        EXPECT_FALSE(hostkernel::WaitForTimedWaiters(2, std::chrono::milliseconds(0)));
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(hostkernel::WaitForEndedWaits(std::chrono::seconds(5)));
    EXPECT_FALSE(hostkernel::WaitForTimedWaiters(1, std::chrono::milliseconds(0)));
    shortWait.join();
    longWait.join();
}

TEST_F(KernelTimeTest, WaitTimesOutOnTheTestClockAndSynchronizationEventsResetThemselves) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS waited = STATUS_PENDING;
    std::thread waiter([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -5000000; // 500 ms
        waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    hostkernel::AdvanceClockMs(500);
    waiter.join();
    EXPECT_EQ(waited, STATUS_TIMEOUT);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(KernelTimeTest, WaitAtDispatchLevelIsRefusedAndReported) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(TookOneFinding(verifier::kWaitAtDispatch));
}

// ---- Pool and locks ----

class PoolAndLocksTest : public hostkernel::testing::KernelTest {};

TEST_F(PoolAndLocksTest, PoolMisuseIsReported) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTestTag);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(verifier::PoolBlocksOutstanding(kTestTag), 1u);
    ExFreePoolWithTag(block, 0x6e6f7257 /* "Wron" */);
    EXPECT_TRUE(TookOneFinding(verifier::kPoolMisuse));
    ExFreePoolWithTag(block, kTestTag);
    EXPECT_TRUE(TookOneFinding(verifier::kPoolMisuse));
    EXPECT_EQ(verifier::PoolBlocksOutstanding(kTestTag), 0u);

    verifier::FailPoolAllocations(kTestTag, 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTestTag), nullptr);
    PVOID second = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTestTag);
    EXPECT_NE(second, nullptr);
    ExFreePoolWithTag(second, kTestTag);
}

TEST_F(PoolAndLocksTest, FreeingABlockWithItsTimerStillSetIsReportedAndTheTimerNeverFires) {
    auto* probe = static_cast<TimerProbe*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TimerProbe), kTestTag));
    KeInitializeTimer(&probe->timer);
    KeInitializeDpc(&probe->dpc, ProbeDpc, probe);
    LARGE_INTEGER due;
    due.QuadPart = -100000;
    KeSetTimer(&probe->timer, due, &probe->dpc);
    ExFreePoolWithTag(probe, kTestTag);
    EXPECT_TRUE(TookOneFinding(verifier::kTimerInFreedMemory));
    hostkernel::AdvanceClockMs(20); // would run the DPC on freed memory
}

TEST_F(PoolAndLocksTest, LockOrderCyclesDeclaredOrdersAndLockRulesAreReported) {
    KSPIN_LOCK a, b, c;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    auto nest = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        KIRQL o, i;
        KeAcquireSpinLock(outer, &o);
        KeAcquireSpinLock(inner, &i);
        KeReleaseSpinLock(inner, i);
        KeReleaseSpinLock(outer, o);
    };
    nest(&a, &b);
    nest(&b, &c);
    nest(&a, &b); // same order again: fine
    EXPECT_EQ(verifier::FindingCount(), 0u);
    nest(&c, &a); // closes a -> b -> c -> a
    EXPECT_TRUE(TookOneFinding(verifier::kLockOrder));
    nest(&c, &a); // known by now
    EXPECT_EQ(verifier::FindingCount(), 0u);

    KSPIN_LOCK capture, report;
    KeInitializeSpinLock(&capture);
    KeInitializeSpinLock(&report);
    verifier::ForbidHoldingTogether(&capture, &report);
    nest(&report, &capture);
    EXPECT_TRUE(TookOneFinding(verifier::kLockOrder));

    KSPIN_LOCK list, pending;
    KeInitializeSpinLock(&list);
    KeInitializeSpinLock(&pending);
    verifier::DeclareLockOrder(&list, &pending);
    nest(&pending, &list); // wrong the first time it happens, without the right order ever seen
    EXPECT_TRUE(TookOneFinding(verifier::kLockOrder));

    KSPIN_LOCK alone;
    KeInitializeSpinLock(&alone);
    verifier::NameLock(&alone, "DriverWaitLock");
    verifier::RequireHeldAlone(&alone);
    nest(&b, &alone);
    auto findings = TakeFindings(verifier::kLockHeldAlone);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, HasSubstr("DriverWaitLock"));
}

} // namespace
