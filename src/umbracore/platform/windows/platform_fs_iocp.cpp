// The Windows engine behind the pump: overlapped ReadFile/WriteFile on handles attached
// to one IO completion port, which the pump thread waits on with
// GetQueuedCompletionStatus. PostQueuedCompletionStatus wakes it for new packets.
// Blocking transfers use the same handles with an event and without a packet.
#include "umbracore/log/assert.h"
#include "umbracore/platform/platform_fs_engine.h"
#include "umbracore/platform/windows/platform_faults_windows.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {

namespace {

HANDLE native(platform_file_handle_t handle) { return reinterpret_cast<HANDLE>((intptr_t)handle); }

constexpr ULONG_PTR KEY_TRANSFER = 1;
constexpr ULONG_PTR KEY_WAKE = 2;

// One piece handed to ReadFile/WriteFile, at most what a DWORD counts.
DWORD piece_size(u64 remaining) { return (DWORD)(remaining < PLATFORM_IO_MAX_PIECE ? remaining : PLATFORM_IO_MAX_PIECE); }

void set_offset(OVERLAPPED& overlapped, u64 offset) {
  overlapped.Offset = (DWORD)offset;
  overlapped.OffsetHigh = (DWORD)(offset >> 32);
}

// An OVERLAPPED record per transfer in flight; the pump never has more than eight.
struct transfer_slot_t {
  OVERLAPPED overlapped;
  platform_io_request_t* request;
  transfer_slot_t* next_free;
  bool owes_packet;  // its call failed at once, yet the system queues a packet for it
};

class iocp_engine_t final : public platform_io_engine_t {
 public:
  ~iocp_engine_t() override {
    if (port_) CloseHandle(port_);
  }

  bool init() {
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (!port_) return false;
    for (transfer_slot_t& slot : slots_) {
      slot.next_free = free_slots_;
      free_slots_ = &slot;
    }
    return true;
  }

  const char* name() const override { return "iocp"; }

  bool attach(platform_file_handle_t handle) override {
    return CreateIoCompletionPort(native(handle), port_, KEY_TRANSFER, 0) == port_;
  }

  void start(platform_io_request_t* request) override {
    if (request->transferred >= request->size) {
      immediate_.append(request);
      return;
    }
    // A slot that waits for the packet of a call that failed at once is held back
    // although its request is done: that packet is already queued, take it.
    while (!free_slots_ && owed_packets_ > 0) take_packet(INFINITE);
    transfer_slot_t* slot = free_slots_;
    UMBRA_ASSERT(slot, "%s", "[fs] More transfers in flight than the pump allows.");
    free_slots_ = slot->next_free;
    slot->request = request;
    if (!issue(slot)) fail(slot);
  }

  void reap(array_t<platform_io_request_t*>& done, bool block) override {
    if (!immediate_.empty()) {
      for (platform_io_request_t* request : immediate_) done.append(request);
      immediate_.clear();
      block = false;
    }
    // The first packet may be waited for; whatever else is queued is taken without.
    for (DWORD timeout = block ? INFINITE : 0;; timeout = 0) {
      packet_t packet = take_packet(timeout);
      if (packet == PACKET_WAKE) continue;
      if (packet == PACKET_NONE) break;  // nothing queued (or the port failed: the pump comes back)
    }
    for (platform_io_request_t* request : immediate_) done.append(request);
    immediate_.clear();
  }

  bool wake() override { return PostQueuedCompletionStatus(port_, 0, KEY_WAKE, nullptr) != FALSE; }

  u64 continued_pieces() const override { return continued_; }

 private:
  enum packet_t { PACKET_NONE, PACKET_WAKE, PACKET_TRANSFER };

  // Takes one packet from the port and acts on it.
  packet_t take_packet(DWORD timeout) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, timeout);
    if (!overlapped) return ok && key == KEY_WAKE ? PACKET_WAKE : PACKET_NONE;
    transfer_slot_t* slot = CONTAINING_RECORD(overlapped, transfer_slot_t, overlapped);
    if (slot->owes_packet) {
      // The late packet of a call that failed at once: its request has its answer.
      slot->owes_packet = false;
      --owed_packets_;
      release(slot);
    } else if (slot->request) {
      complete(slot, ok != FALSE, bytes);
    }
    return PACKET_TRANSFER;
  }

  // Starts the request's next piece; false when the call failed at once.
  bool issue(transfer_slot_t* slot) {
    platform_io_request_t* request = slot->request;
    ZeroMemory(&slot->overlapped, sizeof(slot->overlapped));
    set_offset(slot->overlapped, request->offset + request->transferred);
    DWORD piece = piece_size(request->size - request->transferred);
    if (!windows_piece_allowed(request->kind, &piece)) return false;
    u8* at = request->buffer + request->transferred;
    // Even a call that completes at once queues its packet: the result comes from there.
    BOOL ok = request->kind == PLATFORM_IO_READ ? ReadFile(native(request->handle), at, piece, nullptr, &slot->overlapped)
                                                : WriteFile(native(request->handle), at, piece, nullptr, &slot->overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING) return true;
    // Failed at once. The call marks the record pending before it asks the kernel, and
    // a packet is queued exactly when the kernel wrote the final status into it: Windows
    // does not for an error it returns at once, Wine does for a full disk. A slot whose
    // packet is still to come must not carry another transfer before it arrives.
    slot->owes_packet = slot->overlapped.Internal != (ULONG_PTR)STATUS_PENDING;
    if (slot->owes_packet) ++owed_packets_;
    return false;
  }

  void complete(transfer_slot_t* slot, bool ok, DWORD bytes) {
    platform_io_request_t* request = slot->request;
    // A failure, or the end of the file before the requested count.
    if (!ok || bytes == 0) {
      fail(slot);
      return;
    }
    request->transferred += bytes;
    if (request->transferred < request->size) {
      ++continued_;
      if (!issue(slot)) fail(slot);
      return;
    }
    finish(slot);
  }

  void fail(transfer_slot_t* slot) {
    slot->request->transfer_failed = true;
    finish(slot);
  }

  void finish(transfer_slot_t* slot) {
    immediate_.append(slot->request);
    slot->request = nullptr;
    if (!slot->owes_packet) release(slot);
  }

  void release(transfer_slot_t* slot) {
    slot->next_free = free_slots_;
    free_slots_ = slot;
  }

  HANDLE port_ = nullptr;
  transfer_slot_t slots_[PLATFORM_IO_MAX_IN_FLIGHT] = {};
  transfer_slot_t* free_slots_ = nullptr;
  u32 owed_packets_ = 0;
  array_dyn_t<platform_io_request_t*> immediate_;
  u64 continued_ = 0;
};

}  // namespace

platform_io_engine_t* platform_io_engine_create(platform_io_backend_t backend) {
  (void)backend;  // one engine on Windows
  iocp_engine_t* engine = new iocp_engine_t();
  if (!engine->init()) {
    delete engine;
    return nullptr;
  }
  return engine;
}

bool platform_io_move_sync(u32 kind, platform_file_handle_t handle, u8* buffer, u64 size, u64 offset,
                           u64* transferred) {
  if (*transferred >= size) return true;
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return false;
  bool ok = true;
  while (ok && *transferred < size) {
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof(overlapped));
    set_offset(overlapped, offset + *transferred);
    // The low bit keeps the completion off the port: the pump never sees this transfer.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
    DWORD piece = piece_size(size - *transferred);
    if (!windows_piece_allowed(kind, &piece)) {
      ok = false;
      break;
    }
    DWORD moved = 0;
    BOOL done = kind == PLATFORM_IO_READ ? ReadFile(native(handle), buffer + *transferred, piece, nullptr, &overlapped)
                                         : WriteFile(native(handle), buffer + *transferred, piece, nullptr, &overlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING) {
      ok = false;
      break;
    }
    ok = GetOverlappedResult(native(handle), &overlapped, &moved, TRUE) && moved > 0;
    *transferred += moved;
  }
  CloseHandle(event);
  return ok;
}

}  // namespace umbra
