// Packing on several cores: workers read and compress, the caller writes in order.

#include "tools/parallel_compress.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "archive/zip_format.h"
#include "tools/file_util.h"

namespace {

enum class SlotState { waiting, in_memory, set_aside, failed };

// One file's entry from the moment a worker finishes it until it is written.
struct Slot {
  SlotState state;
  std::string error;
  std::size_t size;                // the file's
  PackedData packed;               // with the Deflate stream while in_memory
  std::vector<unsigned char> data; // the file itself while in_memory and stored
  std::uint64_t aside_offset;      // where the payload lies in the scratch file when set_aside
  std::uint64_t aside_size;
};

// What the entry holds: the Deflate stream, or the file itself.
const std::vector<unsigned char>& slot_payload(const Slot& slot) {
  return slot.packed.method == ZIP_METHOD_DEFLATE ? slot.packed.deflated : slot.data;
}

std::int64_t slot_bytes(const Slot& slot) {
  return static_cast<std::int64_t>(slot.data.capacity() + slot.packed.deflated.capacity());
}

// Everything the workers and the writer share. The fields from slots on are read and
// changed only under lock; `changed` is signalled whenever one of them changes.
struct PackShared {
  const std::vector<PackSource>* sources;
  std::string scratch_folder;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Slot> slots;      // one per source
  std::size_t next_claim;       // the next file a worker takes
  std::size_t next_write;       // the next entry the writer appends
  bool handed_over;             // the writer holds a worker's entry in memory
  bool stop;
  int scratch_fd;               // -1 until an entry is first set aside
  std::uint64_t scratch_end;
  std::uint64_t held_bytes;
  std::uint64_t peak_bytes;
  std::uint32_t set_aside;
};

struct PackWorker {
  PackShared* shared;
  libdeflate_compressor* compressor;  // nullptr: level 0, every entry stored
  pthread_t thread;
};

// Under lock: bytes taken (delta > 0) or given back.
void note_held(PackShared* shared, std::int64_t delta) {
  shared->held_bytes = static_cast<std::uint64_t>(static_cast<std::int64_t>(shared->held_bytes) + delta);
  shared->peak_bytes = std::max(shared->peak_bytes, shared->held_bytes);
}

// An unnamed file in the folder, gone when closed; where the filesystem has no unnamed
// files, a named one removed at once.
int scratch_open(const std::string& folder, std::string* error) {
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string pattern = path_join(folder, ".orvinta-pack-scratch.XXXXXX");
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = io_error("cannot create a scratch file in", folder);
    return -1;
  }
  unlink(name.data());
  return fd;
}

bool write_at(int fd, const unsigned char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t put = pwrite(fd, data, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

// Moves a finished entry that is not yet due out of memory. Called and returns under lock.
void set_aside(PackShared* shared, std::unique_lock<std::mutex>* guard, std::size_t index,
               Slot* result, std::int64_t held) {
  std::string error;
  if (shared->scratch_fd < 0) shared->scratch_fd = scratch_open(shared->scratch_folder, &error);
  const int fd = shared->scratch_fd;
  const std::uint64_t offset = shared->scratch_end;
  const std::vector<unsigned char>& payload = slot_payload(*result);
  const std::uint64_t size = payload.size();
  shared->scratch_end += size;
  guard->unlock();
  bool ok = fd >= 0;
  if (ok && !write_at(fd, payload.data(), size, offset)) {
    error = io_error("cannot write the scratch file in", shared->scratch_folder);
    ok = false;
  }
  std::vector<unsigned char>().swap(result->packed.deflated);
  std::vector<unsigned char>().swap(result->data);
  guard->lock();
  note_held(shared, -held);
  Slot& slot = shared->slots[index];
  slot = std::move(*result);
  slot.state = ok ? SlotState::set_aside : SlotState::failed;
  slot.error = ok ? std::string() : (*shared->sources)[index].path + ": " + error;
  slot.aside_offset = offset;
  slot.aside_size = size;
  if (ok) ++shared->set_aside;
}

// Takes files one at a time; reads, packs and hands each entry over, or sets it aside when
// the writer is not waiting for it.
void* worker_run(void* argument) {
  PackWorker* worker = static_cast<PackWorker*>(argument);
  PackShared* shared = worker->shared;
  const std::vector<PackSource>& sources = *shared->sources;
  for (;;) {
    std::size_t index = 0;
    {
      std::lock_guard<std::mutex> guard(shared->lock);
      if (shared->stop || shared->next_claim >= sources.size()) return nullptr;
      index = shared->next_claim++;
    }
    const PackSource& source = sources[index];
    Slot result{};
    bool ok = file_read_all(source.path.c_str(), &result.data, &result.error);
    // The data and, while Deflate runs, an output buffer just short of its size.
    std::int64_t taken = 0;
    if (ok) {
      result.size = result.data.size();
      taken = static_cast<std::int64_t>(result.data.capacity());
      if (worker->compressor != nullptr && result.size > 1) taken += static_cast<std::int64_t>(result.size - 1);
      {
        std::lock_guard<std::mutex> guard(shared->lock);
        note_held(shared, taken);
      }
      writer_pack(worker->compressor, result.data.data(), result.size, &result.packed);
    }
    if (result.packed.method == ZIP_METHOD_DEFLATE) std::vector<unsigned char>().swap(result.data);
    const std::int64_t kept = slot_bytes(result);

    std::unique_lock<std::mutex> guard(shared->lock);
    note_held(shared, kept - taken);
    if (!ok) {
      note_held(shared, -kept);
      shared->slots[index] = std::move(result);
      shared->slots[index].state = SlotState::failed;
    } else if (index == shared->next_write && !shared->handed_over) {
      // The writer waits for this one: it takes it from memory, and this worker takes
      // no other file until it is written, so that no more than N are held.
      shared->slots[index] = std::move(result);
      shared->slots[index].state = SlotState::in_memory;
      shared->handed_over = true;
      shared->changed.notify_all();
      shared->changed.wait(guard, [shared] { return !shared->handed_over || shared->stop; });
      continue;
    } else {
      set_aside(shared, &guard, index, &result, kept);
    }
    shared->changed.notify_all();
  }
}

void free_compressors(std::vector<PackWorker>* workers) {
  for (PackWorker& worker : *workers) {
    libdeflate_free_compressor(worker.compressor);
    worker.compressor = nullptr;
  }
}

}  // namespace

std::uint32_t parallel_default_jobs() {
  long count = 0;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) count = CPU_COUNT(&allowed);
  if (count <= 0) count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count <= 0) return 1;
  return static_cast<std::uint32_t>(std::min<long>(count, PARALLEL_JOBS_MAX));
}

bool parallel_pack(ArchiveWriter* writer, int level, const std::vector<PackSource>& sources,
                   std::uint32_t jobs, const std::string& scratch_folder, Progress* progress,
                   ParallelStats* stats) {
  *stats = ParallelStats{};
  if (sources.empty()) return true;
  const std::size_t thread_count = std::min<std::size_t>(std::max<std::uint32_t>(jobs, 1), sources.size());

  PackShared shared;
  shared.sources = &sources;
  shared.scratch_folder = scratch_folder;
  shared.slots.resize(sources.size());
  shared.next_claim = 0;
  shared.next_write = 0;
  shared.handed_over = false;
  shared.stop = false;
  shared.scratch_fd = -1;
  shared.scratch_end = 0;
  shared.held_bytes = 0;
  shared.peak_bytes = 0;
  shared.set_aside = 0;

  std::vector<PackWorker> workers(thread_count, PackWorker{&shared, nullptr, pthread_t{}});
  for (PackWorker& worker : workers) {
    if (level == 0) break;
    worker.compressor = libdeflate_alloc_compressor(level);
    if (worker.compressor == nullptr) {
      writer->error = "cannot create the Deflate compressor (out of memory)";
      free_compressors(&workers);
      return false;
    }
  }
  // Fewer threads than asked for still pack everything, only more slowly.
  std::uint32_t started = 0;
  int start_error = 0;
  for (PackWorker& worker : workers) {
    start_error = pthread_create(&worker.thread, nullptr, worker_run, &worker);
    if (start_error != 0) break;
    ++started;
  }
  if (started == 0) {
    writer->error = std::string("cannot start a packing thread: ") + std::strerror(start_error);
    free_compressors(&workers);
    return false;
  }

  bool ok = true;
  for (std::size_t index = 0; ok && index < sources.size(); ++index) {
    Slot taken{};
    int scratch_fd = -1;
    {
      std::unique_lock<std::mutex> guard(shared.lock);
      Slot& slot = shared.slots[index];
      shared.changed.wait(guard, [&slot] { return slot.state != SlotState::waiting; });
      taken = std::move(slot);
      slot = Slot{};
      scratch_fd = shared.scratch_fd;
    }
    const PackSource& source = sources[index];
    if (taken.state == SlotState::failed) {
      writer->error = taken.error;
      ok = false;
      break;
    }
    progress_step(progress, static_cast<std::uint32_t>(index), stats->bytes_in);
    std::int64_t released = 0;
    if (taken.state == SlotState::in_memory) {
      ok = writer_add_packed(writer, source.name, source.modified, taken.data.data(), taken.size, taken.packed);
      released = slot_bytes(taken);
      std::vector<unsigned char>().swap(taken.packed.deflated);
      std::vector<unsigned char>().swap(taken.data);
    } else {
      ok = writer_add_packed_from(writer, source.name, source.modified, taken.size, taken.packed, scratch_fd,
                                  taken.aside_offset, taken.aside_size);
      // The space is not needed again: give it back while the rest is packed.
      fallocate(scratch_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                static_cast<off_t>(taken.aside_offset), static_cast<off_t>(taken.aside_size));
    }
    stats->bytes_in += taken.size;
    std::lock_guard<std::mutex> guard(shared.lock);
    if (taken.state == SlotState::in_memory) {
      note_held(&shared, -released);
      shared.handed_over = false;
    }
    ++shared.next_write;
    shared.changed.notify_all();
  }
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.stop = true;
    shared.changed.notify_all();
  }
  for (std::uint32_t i = 0; i < started; ++i) pthread_join(workers[i].thread, nullptr);
  free_compressors(&workers);
  if (shared.scratch_fd >= 0) close(shared.scratch_fd);
  stats->threads = started;
  stats->peak_bytes = shared.peak_bytes;
  stats->set_aside = shared.set_aside;
  return ok;
}
