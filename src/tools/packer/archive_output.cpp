#include "tools/packer/archive_output.h"

#include <algorithm>
#include <cstring>

#include "umbracore/mem.h"
#include "umbracore/ufs/cairn_format.h"

namespace umbra {

namespace {

constexpr u64 STAGING_SIZE = 4ull << 20;
constexpr u64 COMPARE_PIECE = 64ull << 10;

}  // namespace

archive_output_t::archive_output_t(file_t* archive, file_t* reader)
    : archive_(archive), reader_(reader ? reader : archive), staged_offset_(archive->get_position()), position_(archive->get_position()) {}

archive_output_t::~archive_output_t() { wait_in_flight(); }

bool archive_output_t::wait_in_flight() {
  if (!in_flight_) return true;
  fs_io_request_t* request = in_flight_;
  in_flight_ = nullptr;
  if (!archive_->io_wait(request)) ok_ = false;
  return ok_;
}

bool archive_output_t::send_staged() {
  if (!wait_in_flight()) return false;
  if (staged_ != 0) {
    in_flight_ = archive_->io_write(staging(), staged_, staged_offset_);
    if (!in_flight_) return ok_ = false;
    active_ ^= 1;
  }
  staged_offset_ += staged_;
  staged_ = 0;
  return true;
}

u64 archive_output_t::room() {
  if (!ok_) return 0;
  if (staged_ == STAGING_SIZE && !send_staged()) return 0;
  // Each buffer is allocated when it is first filled.
  if (buffers_[active_].count() == 0 && !buffers_[active_].resize_uninitialized(STAGING_SIZE)) {
    ok_ = false;
    return 0;
  }
  return STAGING_SIZE - staged_;
}

void archive_output_t::commit(u64 size) {
  staged_ += size;
  position_ += size;
}

bool archive_output_t::append(const void* bytes, u64 size) {
  const u8* from = static_cast<const u8*>(bytes);
  for (u64 done = 0; done < size;) {
    u64 piece = std::min(room(), size - done);
    if (piece == 0) return false;
    std::memcpy(staging() + staged_, from + done, piece);
    commit(piece);
    done += piece;
  }
  return ok_;
}

bool archive_output_t::align16() {
  u64 padding = align_up(position_, CAIRN_V2_BLOCK_ALIGNMENT) - position_;
  for (u64 done = 0; done < padding;) {
    u64 piece = std::min(room(), padding - done);
    if (piece == 0) return false;
    std::memset(staging() + staged_, 0, piece);
    commit(piece);
    done += piece;
  }
  return ok_;
}

bool archive_output_t::append_file(file_t* block) {
  u64 size = block->get_size();
  for (u64 done = 0; done < size;) {
    u64 piece = std::min(room(), size - done);
    if (piece == 0 || !block->read_at(staging() + staged_, piece, done)) return ok_ = false;
    commit(piece);
    done += piece;
  }
  return ok_;
}

bool archive_output_t::holds(u64 offset, file_t* block) {
  const u64 size = block->get_size();
  if (!ok_ || offset > position_ || size > position_ - offset) return false;
  // Bytes before the staging buffer are in the archive once no write is in flight.
  if (offset < staged_offset_ && !wait_in_flight()) return false;
  for (array_dyn_t<u8>& piece : compared_)
    if (piece.count() == 0 && !piece.resize_uninitialized(COMPARE_PIECE)) return false;
  for (u64 done = 0; done < size;) {
    const u64 at = offset + done;
    u64 piece = std::min(COMPARE_PIECE, size - done);
    const u8* archived = nullptr;
    if (at >= staged_offset_) {
      archived = staging() + (at - staged_offset_);
    } else {
      piece = std::min(piece, staged_offset_ - at);
      if (!reader_->read_at(compared_[1].data(), piece, at)) return false;
      archived = compared_[1].data();
    }
    if (!block->read_at(compared_[0].data(), piece, done)) return false;
    if (std::memcmp(compared_[0].data(), archived, piece) != 0) return false;
    done += piece;
  }
  return true;
}

bool archive_output_t::flush() {
  if (!send_staged() || !wait_in_flight()) return false;
  archive_->set_position(position_);
  return true;
}

}  // namespace umbra
