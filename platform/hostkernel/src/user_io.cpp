// The user-mode side of I/O for tests: handles on named devices and links, DeviceIoControl with
// buffers laid out per transfer method (METHOD_BUFFERED through a system buffer copied back on
// completion, the direct methods through an MDL over the caller's own buffer, METHOD_NEITHER by
// raw pointers), overlapped completion, CancelIo, and close with IRP_MJ_CLEANUP then IRP_MJ_CLOSE
// once the file's last request has completed, and the end of a user thread, which cancels the
// requests it issued and waits for them. Also kernel-side senders for requests from above.
#include <hostkernel/user_io.h>

#include "kernel_internal.h"

#include <list>

namespace hostkernel::detail {

struct IoState {
    std::recursive_mutex mutex;
    std::condition_variable_any done;
    int waiters = 0; // threads in WaitComplete: completion signals only when someone waits
    bool complete = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    NTSTATUS dispatchStatus = STATUS_PENDING;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    ULONG code = 0;
    bool readOnlyOutput = false;
    std::vector<uint8_t> readOnlySnapshot; // what the read-only pages held before the call
    PIRP irp = nullptr;                    // while in flight
    std::shared_ptr<FileHandleState> file;
    std::thread::id issuer; // the thread that sent it: its end cancels the request
};

struct FileHandleState {
    std::mutex mutex;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr; // the named device the handle was opened on
    IO_SECURITY_CONTEXT securityContext{};
    ACCESS_STATE accessState{};
    ACCESS_MASK granted = 0;
    std::vector<std::shared_ptr<IoState>> inflight;
    int references = 0; // the handle's own, plus one per request in flight
    bool handleOpen = false;
    std::atomic<bool> closeDelivered{false};
};

namespace {

// A dispatch routine returns to the I/O manager with the caller's thread as it found it: a
// critical region left entered (a wait lock never released) would keep the thread's APCs off.
void CheckCriticalRegionLeft(LONG depthBefore, UCHAR major) {
    LONG depth = CriticalRegionDepth();
    if (depth != depthBefore) {
        verifier::Report(verifier::kIrql,
                         Format("dispatch of a request (major 0x%02x) returned with the thread's "
                                "critical-region depth %ld instead of %ld",
                                major, static_cast<long>(depth), static_cast<long>(depthBefore)));
        CriticalRegionDepth() = depthBefore;
    }
}

constexpr ULONG kSystemBufferTag = 0x20636f49; // "Ioc "

struct HandleRegistry {
    std::mutex mutex;
    std::list<std::shared_ptr<FileHandleState>> handles;
};

HandleRegistry& Handles() {
    static HandleRegistry registry;
    return registry;
}

void Unregister(const std::shared_ptr<FileHandleState>& state) {
    HandleRegistry& r = Handles();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.handles.remove(state);
}

void MarkComplete(IoState& state, PIRP irp) {
    std::lock_guard<std::recursive_mutex> guard(state.mutex);
    state.status = irp->IoStatus.Status;
    state.information = irp->IoStatus.Information;
    state.complete = true;
    state.irp = nullptr;
    if (state.waiters > 0)
        state.done.notify_all();
}

bool WaitComplete(IoState& state, std::chrono::milliseconds limit) {
    std::unique_lock<std::recursive_mutex> lock(state.mutex);
    state.waiters++;
    bool complete = state.done.wait_for(lock, limit, [&] { return state.complete; });
    state.waiters--;
    return complete;
}

// Sends a file request (create, cleanup, close) and waits for it.
NTSTATUS SendFileRequest(const std::shared_ptr<FileHandleState>& file, UCHAR major) {
    auto state = std::make_shared<IoState>();
    PDEVICE_OBJECT top = TopOfStack(file->device);
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::User,
                           [state](PIRP done) { MarkComplete(*state, done); });
    state->irp = irp;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file->file;
    if (major == IRP_MJ_CREATE) {
        file->securityContext.DesiredAccess = file->granted;
        file->accessState.OriginalDesiredAccess = file->granted;
        file->accessState.PreviouslyGrantedAccess = file->granted;
        file->securityContext.AccessState = &file->accessState;
        stack->Parameters.Create.SecurityContext = &file->securityContext;
        stack->Parameters.Create.Options = 1u << 24; // FILE_OPEN
        stack->Parameters.Create.ShareAccess = 3;    // FILE_SHARE_READ | FILE_SHARE_WRITE
    }
    irp->Tail.Overlay.OriginalFileObject = file->file;
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_SYNCHRONOUS_API;
    LONG regionDepth = CriticalRegionDepth();
    NTSTATUS returned = IoCallDriver(top, irp);
    CheckCriticalRegionLeft(regionDepth, major);
    if (!WaitComplete(*state, std::chrono::seconds(10))) {
        verifier::Report(verifier::kExactlyOnceCompletion,
                         Format("file request (major 0x%02x) on %s not completed within 10 s "
                                "(dispatch returned 0x%08x)",
                                major, Narrow(DeviceNameOf(file->device)).c_str(),
                                static_cast<unsigned>(returned)));
        return STATUS_PENDING;
    }
    return state->status;
}

void DeliverClose(const std::shared_ptr<FileHandleState>& file) {
    SendFileRequest(file, IRP_MJ_CLOSE);
    DereferenceDevice(file->device);
    delete file->file;
    file->file = nullptr;
    file->closeDelivered = true;
    Unregister(file);
}

// Drops one reference of the file; the last one delivers IRP_MJ_CLOSE. From a completion
// (possibly at DISPATCH_LEVEL, possibly inside a driver's locks) the close is deferred to the
// system worker thread, as the object manager defers a delete.
void DropFileReference(const std::shared_ptr<FileHandleState>& file, bool fromCompletion) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(file->mutex);
        last = --file->references == 0;
    }
    if (!last)
        return;
    if (fromCompletion)
        QueueWork([file] { DeliverClose(file); });
    else
        DeliverClose(file);
}

// A file's rights for generic ones, as the I/O manager maps them for a device.
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE)
        mapped |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL)
        mapped |= FILE_ALL_ACCESS;
    return mapped;
}

// Read-only output pages: whatever the driver wrote into them is a finding and is undone.
void CheckReadOnlyOutput(IoState& state) {
    std::lock_guard<std::recursive_mutex> guard(state.mutex);
    if (!state.readOnlyOutput)
        return;
    RemoveReadOnlyUserRange(state.output.data());
    if (state.output != state.readOnlySnapshot) {
        verifier::Report(
            verifier::kUserMemory,
            Format("control code 0x%x wrote into the caller's read-only output pages", state.code));
        state.output = state.readOnlySnapshot;
    }
}

void FinishUserIrp(const std::shared_ptr<IoState>& state, ULONG method, PIRP irp) {
    CheckReadOnlyOutput(*state);
    if (method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer != nullptr &&
        state->readOnlyOutput && irp->IoStatus.Information > 0 &&
        (NT_SUCCESS(irp->IoStatus.Status) || NT_WARNING(irp->IoStatus.Status))) {
        // The copy back into the caller's pages faults; the I/O manager reports that instead.
        irp->IoStatus.Status = STATUS_ACCESS_VIOLATION;
        irp->IoStatus.Information = 0;
    }
    if (method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer != nullptr &&
        !state->readOnlyOutput) {
        size_t count = std::min<size_t>(irp->IoStatus.Information, state->output.size());
        if (irp->IoStatus.Information > state->output.size())
            verifier::Report(verifier::kFramework,
                             Format("buffered request completed with Information %lu, more than "
                                    "the %zu-byte output "
                                    "buffer; only the buffer's length is copied back",
                                    static_cast<unsigned long>(irp->IoStatus.Information),
                                    state->output.size()));
        if (NT_SUCCESS(irp->IoStatus.Status) || NT_WARNING(irp->IoStatus.Status))
            memcpy(state->output.data(), irp->AssociatedIrp.SystemBuffer, count);
    }
    if (irp->AssociatedIrp.SystemBuffer != nullptr && (irp->Flags & IRP_DEALLOCATE_BUFFER)) {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (irp->MdlAddress != nullptr) {
        PMDL next = irp->MdlAddress->Next;
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
    std::shared_ptr<FileHandleState> file;
    {
        std::lock_guard<std::recursive_mutex> guard(state->mutex);
        file = state->file;
    }
    if (file) {
        std::lock_guard<std::mutex> guard(file->mutex);
        auto& list = file->inflight;
        list.erase(std::remove(list.begin(), list.end(), state), list.end());
    }
    MarkComplete(*state, irp);
    if (file)
        DropFileReference(file, true);
}

NTSTATUS NTAPI KernelSendCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* holder = static_cast<std::shared_ptr<IoState>*>(Context);
    std::shared_ptr<IoState> state = *holder;
    delete holder;
    {
        std::lock_guard<std::recursive_mutex> guard(state->mutex);
        MarkComplete(*state, Irp);
        IoFreeIrp(Irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PendingIo SendFromAbove(PDEVICE_OBJECT device,
                        const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
    EnsureStarted();
    auto state = std::make_shared<IoState>();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    setup(irp, stack);
    {
        std::lock_guard<std::recursive_mutex> guard(state->mutex);
        state->irp = irp;
    }
    IoSetCompletionRoutine(irp, KernelSendCompletion, new std::shared_ptr<IoState>(state), TRUE,
                           TRUE, TRUE);
    NTSTATUS returned = IoCallDriver(device, irp);
    {
        std::lock_guard<std::recursive_mutex> guard(state->mutex);
        state->dispatchStatus = returned;
    }
    return PendingIo(state);
}

} // namespace

void ResetUserHandles() {
    // Handles whose close never came (their requests never completed; reported by then).
    HandleRegistry& r = Handles();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (auto& h : r.handles) {
        std::lock_guard<std::mutex> fileGuard(h->mutex);
        h->inflight.clear();
        delete h->file;
        h->file = nullptr;
    }
    r.handles.clear();
}

void CloseAllUserHandles() {
    for (;;) {
        std::shared_ptr<FileHandleState> open;
        {
            HandleRegistry& r = Handles();
            std::lock_guard<std::mutex> guard(r.mutex);
            for (auto& h : r.handles) {
                if (h->handleOpen) {
                    open = h;
                    break;
                }
            }
        }
        if (!open)
            return;
        {
            std::lock_guard<std::mutex> guard(open->mutex);
            open->handleOpen = false;
        }
        SendFileRequest(open, IRP_MJ_CLEANUP);
        DropFileReference(open, false);
    }
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace hostkernel {

PendingIo::PendingIo(std::shared_ptr<detail::IoState> state) : state_(std::move(state)) {}

bool PendingIo::IsComplete() const {
    std::lock_guard<std::recursive_mutex> guard(state_->mutex);
    return state_->complete;
}

bool PendingIo::Wait(std::chrono::milliseconds limit) const {
    return WaitComplete(*state_, limit);
}

NTSTATUS PendingIo::Status() const {
    std::lock_guard<std::recursive_mutex> guard(state_->mutex);
    return state_->complete ? state_->status : STATUS_PENDING;
}

ULONG_PTR PendingIo::Information() const {
    std::lock_guard<std::recursive_mutex> guard(state_->mutex);
    return state_->information;
}

std::vector<uint8_t> PendingIo::Output() const {
    std::lock_guard<std::recursive_mutex> guard(state_->mutex);
    return state_->output;
}

std::vector<uint8_t> PendingIo::OutputBytes() const {
    std::lock_guard<std::recursive_mutex> guard(state_->mutex);
    size_t count = std::min<size_t>(state_->information, state_->output.size());
    return std::vector<uint8_t>(state_->output.begin(),
                                state_->output.begin() + static_cast<ptrdiff_t>(count));
}

NTSTATUS PendingIo::DispatchStatus() const {
    std::lock_guard<std::recursive_mutex> guard(state_->mutex);
    return state_->dispatchStatus;
}

bool PendingIo::Cancel() const {
    std::lock_guard<std::recursive_mutex> guard(state_->mutex);
    if (state_->complete || state_->irp == nullptr)
        return false;
    return IoCancelIrp(state_->irp) != FALSE;
}

UserHandle::~UserHandle() {
    Close();
}

UserHandle::UserHandle(UserHandle&& other) noexcept
    : state_(std::move(other.state_)), closed_(std::move(other.closed_)) {}

UserHandle& UserHandle::operator=(UserHandle&& other) noexcept {
    if (this != &other) {
        Close();
        state_ = std::move(other.state_);
        closed_ = std::move(other.closed_);
    }
    return *this;
}

NTSTATUS UserHandle::Open(const std::wstring& path, UserHandle* handle,
                          const OpenOptions& options) {
    EnsureStarted();
    handle->Close();
    PDEVICE_OBJECT device = ResolveAndReferenceName(path);
    if (device == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS access = STATUS_SUCCESS;
    if (device->Flags & DO_DEVICE_INITIALIZING)
        access = STATUS_NO_SUCH_DEVICE;
    if (NT_SUCCESS(access) && (device->Flags & DO_EXCLUSIVE)) {
        HandleRegistry& r = Handles();
        std::lock_guard<std::mutex> guard(r.mutex);
        for (auto& h : r.handles)
            if (h->device == device && !h->closeDelivered)
                access = STATUS_ACCESS_DENIED;
    }
    if (NT_SUCCESS(access))
        access = CheckDeviceOpen(device, options.caller, MapGenericFileAccess(options.access));
    if (!NT_SUCCESS(access)) {
        DereferenceDevice(device);
        return access;
    }
    auto file = std::make_shared<FileHandleState>();
    file->device = device;
    file->file = new FILE_OBJECT();
    memset(file->file, 0, sizeof(FILE_OBJECT));
    file->file->Type = 5; /* IO_TYPE_FILE */
    file->file->Size = sizeof(FILE_OBJECT);
    file->file->DeviceObject = device;
    file->granted = MapGenericFileAccess(options.access);
    file->file->ReadAccess = (file->granted & FILE_READ_DATA) != 0;
    file->file->WriteAccess = (file->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->file->SharedRead = file->file->SharedWrite = TRUE;
    KeInitializeEvent(&file->file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->file->IrpList);
    NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status) || status == STATUS_PENDING) {
        DereferenceDevice(device);
        delete file->file;
        return status == STATUS_PENDING ? STATUS_UNSUCCESSFUL : status;
    }
    file->references = 1;
    file->handleOpen = true;
    {
        HandleRegistry& r = Handles();
        std::lock_guard<std::mutex> guard(r.mutex);
        r.handles.push_back(file);
    }
    handle->state_ = file;
    handle->closed_.reset();
    return status;
}

PendingIo UserHandle::DeviceIoControlOverlapped(ULONG code, const std::vector<uint8_t>& input,
                                                const std::vector<uint8_t>& output,
                                                OutputPages pages) {
    auto state = std::make_shared<IoState>();
    state->input = input;
    state->output = output;
    state->code = code;
    bool readOnly = pages == OutputPages::ReadOnly && !output.empty();
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (!state_ || (readOnly && method == METHOD_OUT_DIRECT)) {
        // The I/O manager's own write probe of an OUT_DIRECT buffer fails in the caller.
        state->status = !state_ ? STATUS_INVALID_HANDLE : STATUS_ACCESS_VIOLATION;
        state->dispatchStatus = state->status;
        state->complete = true;
        return PendingIo(state);
    }
    if (readOnly) {
        state->readOnlyOutput = true;
        state->readOnlySnapshot = state->output;
        AddReadOnlyUserRange(state->output.data(), state->output.size());
    }
    std::shared_ptr<FileHandleState> file = state_;
    state->file = file;
    state->issuer = std::this_thread::get_id();
    PDEVICE_OBJECT top = TopOfStack(file->device);
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::User,
                           [state, method](PIRP done) { FinishUserIrp(state, method, done); });
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = file->file;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    stack->Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(output.size());
    PVOID in = state->input.empty() ? nullptr : state->input.data();
    PVOID out = state->output.empty() ? nullptr : state->output.data();
    switch (method) {
    case METHOD_BUFFERED: {
        size_t length = std::max(input.size(), output.size());
        if (length > 0) {
            PVOID system = ExAllocatePoolWithTag(SystemNonPagedPool(), length, kSystemBufferTag);
            memset(system, 0, length);
            if (in)
                memcpy(system, in, input.size());
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (out ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = out;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (in) {
            PVOID system =
                ExAllocatePoolWithTag(SystemNonPagedPool(), input.size(), kSystemBufferTag);
            memcpy(system, in, input.size());
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (out) {
            IoAllocateMdl(out, static_cast<ULONG>(output.size()), FALSE, FALSE, irp);
            MmProbeAndLockPages(irp->MdlAddress, UserMode,
                                method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        }
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
        break;
    }
    irp->Tail.Overlay.OriginalFileObject = file->file;
    irp->RequestorMode = UserMode;
    {
        std::lock_guard<std::mutex> guard(file->mutex);
        file->references++;
        file->inflight.push_back(state);
    }
    {
        std::lock_guard<std::recursive_mutex> guard(state->mutex);
        state->irp = irp;
    }
    LONG regionDepth = CriticalRegionDepth();
    NTSTATUS returned = IoCallDriver(top, irp);
    CheckCriticalRegionLeft(regionDepth, IRP_MJ_DEVICE_CONTROL);
    std::lock_guard<std::recursive_mutex> guard(state->mutex);
    state->dispatchStatus = returned;
    if (returned != STATUS_PENDING) {
        if (!state->complete) {
            verifier::Report(
                verifier::kExactlyOnceCompletion,
                Format(
                    "dispatch of control code 0x%x returned 0x%08x without completing the request",
                    code, static_cast<unsigned>(returned)));
        } else if (state->status != returned) {
            verifier::Report(
                verifier::kExactlyOnceCompletion,
                Format(
                    "dispatch of control code 0x%x returned 0x%08x but completed the request with "
                    "0x%08x",
                    code, static_cast<unsigned>(returned), static_cast<unsigned>(state->status)));
        }
    }
    return PendingIo(state);
}

IoResult UserHandle::DeviceIoControl(ULONG code, const std::vector<uint8_t>& input,
                                     const std::vector<uint8_t>& output,
                                     std::chrono::milliseconds limit) {
    PendingIo io = DeviceIoControlOverlapped(code, input, output);
    IoResult result;
    if (!io.Wait(limit)) {
        verifier::Report(verifier::kExactlyOnceCompletion,
                         Format("synchronous control request 0x%x still pending after %lld ms",
                                code, static_cast<long long>(limit.count())));
        result.status = STATUS_PENDING;
        result.output = io.Output();
        return result;
    }
    result.status = io.Status();
    result.information = io.Information();
    result.output = io.Output();
    return result;
}

IoResult UserHandle::DeviceIoControlIntoReadOnlyPages(ULONG code, const std::vector<uint8_t>& input,
                                                      const std::vector<uint8_t>& output) {
    PendingIo io = DeviceIoControlOverlapped(code, input, output, OutputPages::ReadOnly);
    IoResult result;
    if (!io.Wait(std::chrono::seconds(5))) {
        verifier::Report(verifier::kExactlyOnceCompletion,
                         Format("synchronous control request 0x%x still pending after 5 s", code));
        result.status = STATUS_PENDING;
        return result;
    }
    result.status = io.Status();
    result.information = io.Information();
    result.output = io.Output();
    return result;
}

void UserHandle::CancelIo() {
    if (!state_)
        return;
    std::vector<std::shared_ptr<IoState>> inflight;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        inflight = state_->inflight;
    }
    for (auto& io : inflight)
        PendingIo(io).Cancel();
}

void UserHandle::Close() {
    if (!state_)
        return;
    std::shared_ptr<FileHandleState> file = std::move(state_);
    state_.reset();
    bool wasOpen;
    {
        std::lock_guard<std::mutex> guard(file->mutex);
        wasOpen = file->handleOpen;
        file->handleOpen = false;
    }
    if (wasOpen) {
        SendFileRequest(file, IRP_MJ_CLEANUP);
        DropFileReference(file, false);
    }
    closed_ = file;
}

void EndThreadIo(std::chrono::milliseconds limit) {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::shared_ptr<IoState>> mine;
    {
        HandleRegistry& r = Handles();
        std::lock_guard<std::mutex> guard(r.mutex);
        for (auto& h : r.handles) {
            std::lock_guard<std::mutex> fileGuard(h->mutex);
            for (auto& io : h->inflight)
                if (io->issuer == self)
                    mine.push_back(io);
        }
    }
    for (auto& io : mine)
        PendingIo(io).Cancel();
    for (auto& io : mine) {
        if (WaitComplete(*io, limit))
            continue;
        std::lock_guard<std::recursive_mutex> guard(io->mutex);
        verifier::Report(
            verifier::kRequestLeftBehind,
            Format(
                "a request of a thread that ended was cancelled and is still pending after %lld ms",
                static_cast<long long>(limit.count())));
    }
}

bool UserHandle::CloseDelivered() const {
    return closed_ && closed_->closeDelivered;
}

PFILE_OBJECT UserHandle::FileObject() const {
    return state_ ? state_->file : nullptr;
}
PDEVICE_OBJECT UserHandle::Device() const {
    return state_ ? state_->device : nullptr;
}

PendingIo SendInternalDeviceControl(PDEVICE_OBJECT device, ULONG code, PVOID argument1,
                                    PVOID argument2) {
    return SendFromAbove(device, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        (void)irp;
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.Others.Argument1 = argument1;
        stack->Parameters.Others.Argument2 = argument2;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
    });
}

PendingIo SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                  void (*setup)(PIO_STACK_LOCATION, void*), void* setupContext) {
    return SendFromAbove(device, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        if (major == IRP_MJ_PNP)
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        if (setup != nullptr)
            setup(stack, setupContext);
    });
}

} // namespace hostkernel
