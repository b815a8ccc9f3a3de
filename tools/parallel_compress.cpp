// Packing on several cores: workers read and compress, the caller writes in order.

#include "tools/parallel_compress.h"

#include <libdeflate.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "tools/file_util.h"

namespace {

// The result for one file, from the moment a worker finishes it until it is written.
struct Slot {
  bool ready;
  bool failed;
  std::string error;
  PackedEntry packed;
};

// Everything the workers and the writer share. The fields from slots on are read and
// changed only under lock.
struct PackShared {
  const std::vector<PackSource>* sources;
  std::uint32_t window;     // jobs: files between claimed and written, at most
  std::mutex lock;
  std::condition_variable claimable;  // the window moved on, or the work stops
  std::condition_variable finished;   // a slot became ready
  // Under lock:
  std::vector<Slot> slots;  // file i lives in slots[i % window] while it is in the window
  std::size_t next_claim;   // the next file a worker takes
  std::size_t next_write;   // the next file the writer appends
  bool stop;
  std::uint64_t held_bytes;
  std::uint64_t peak_bytes;
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

// Claims files while the window allows; reads, packs and hands each one to its slot.
void* worker_run(void* argument) {
  PackWorker* worker = static_cast<PackWorker*>(argument);
  PackShared* shared = worker->shared;
  const std::vector<PackSource>& sources = *shared->sources;
  std::vector<unsigned char> data;
  for (;;) {
    std::size_t index = 0;
    {
      std::unique_lock<std::mutex> guard(shared->lock);
      shared->claimable.wait(guard, [shared, &sources] {
        return shared->stop || shared->next_claim >= sources.size() ||
               shared->next_claim < shared->next_write + shared->window;
      });
      if (shared->stop || shared->next_claim >= sources.size()) return nullptr;
      index = shared->next_claim++;
    }
    const PackSource& source = sources[index];
    Slot result{};
    bool ok = file_read_all(source.path.c_str(), &data, &result.error);
    // The data and, while Deflate runs, an output buffer just short of its size.
    std::int64_t taken = 0;
    if (ok) {
      taken = static_cast<std::int64_t>(data.capacity());
      if (worker->compressor != nullptr && data.size() > 1) taken += static_cast<std::int64_t>(data.size() - 1);
      std::lock_guard<std::mutex> guard(shared->lock);
      note_held(shared, taken);
    }
    std::string why;
    if (ok && !entry_pack(worker->compressor, &data, &result.packed, &why)) {
      result.error = source.path + " is " + why;
      ok = false;
    }
    std::vector<unsigned char>().swap(data);
    const std::int64_t kept = static_cast<std::int64_t>(result.packed.payload.capacity());
    std::lock_guard<std::mutex> guard(shared->lock);
    note_held(shared, kept - taken);
    Slot& slot = shared->slots[index % shared->window];
    slot = std::move(result);
    slot.failed = !ok;
    slot.ready = true;
    shared->finished.notify_all();
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
                   std::uint32_t jobs, Progress* progress, ParallelStats* stats) {
  stats->threads = 0;
  stats->peak_bytes = 0;
  if (sources.empty()) return true;
  const std::uint32_t window = static_cast<std::uint32_t>(
      std::min<std::size_t>(std::max<std::uint32_t>(jobs, 1), sources.size()));

  PackShared shared;
  shared.sources = &sources;
  shared.window = window;
  shared.slots.resize(window);
  shared.next_claim = 0;
  shared.next_write = 0;
  shared.stop = false;
  shared.held_bytes = 0;
  shared.peak_bytes = 0;

  std::vector<PackWorker> workers(window, PackWorker{&shared, nullptr, pthread_t{}});
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
    {
      std::unique_lock<std::mutex> guard(shared.lock);
      Slot& slot = shared.slots[index % window];
      shared.finished.wait(guard, [&slot] { return slot.ready; });
      taken = std::move(slot);
      slot = Slot{};
    }
    const PackSource& source = sources[index];
    if (taken.failed) {
      writer->error = taken.error;
      ok = false;
      break;
    }
    progress_step(progress, static_cast<std::uint32_t>(index), source.name.c_str());
    ok = writer_add_packed(writer, source.name, source.modified, taken.packed);
    const std::int64_t released = static_cast<std::int64_t>(taken.packed.payload.capacity());
    std::vector<unsigned char>().swap(taken.packed.payload);
    std::lock_guard<std::mutex> guard(shared.lock);
    note_held(&shared, -released);
    ++shared.next_write;
    shared.claimable.notify_all();
  }
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.stop = true;
    shared.claimable.notify_all();
  }
  for (std::uint32_t i = 0; i < started; ++i) pthread_join(workers[i].thread, nullptr);
  free_compressors(&workers);
  stats->threads = started;
  stats->peak_bytes = shared.peak_bytes;
  return ok;
}
