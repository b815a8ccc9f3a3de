// Worker threads of extract: each takes the next queued entry, extracts it with the
// installer's zip_extract through a reader of its own into an anonymous in-memory file,
// and leaves the result for the calling thread, which takes them in archive order.

#include "tools/parallel_extract.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "archive/zip_reader_record.h"
#include "tools/entry_check.h"
#include "tools/file_util.h"

namespace {

struct DecodeJob {
  ZipEntryInfo info;
  std::int64_t header_offset;
  std::uint32_t index;
  bool done;
  DecodedEntry result;
};

}  // namespace

// Everything the workers and the taker share; the fields from jobs on only under lock.
struct DecodePool {
  std::string path;
  dev_t device;
  ino_t inode;
  std::int64_t file_size;
  int folder_fd;
  std::vector<pthread_t> threads;
  std::mutex lock;
  std::condition_variable changed;    // a job queued, a job done, or stop
  std::map<std::uint32_t, DecodeJob> jobs;  // by index: queued, under way or done
  std::deque<std::uint32_t> queue;    // indices not yet claimed, in archive order
  bool stop;
};

namespace {

// Field by field: the record has padding, which a copy need not carry.
bool same_header(const ZipEntryInfo& a, const ZipEntryInfo& b) {
  return a.signature == b.signature && a.version_needed == b.version_needed && a.flags == b.flags &&
         a.method == b.method && a.mod_time == b.mod_time && a.mod_date == b.mod_date && a.crc32 == b.crc32 &&
         a.compressed_size == b.compressed_size && a.uncompressed_size == b.uncompressed_size &&
         a.name_length == b.name_length && a.extra_length == b.extra_length &&
         std::memcmp(a.name, b.name, sizeof a.name) == 0;
}

}  // namespace

ZipReader* reader_open_at(const char* path, dev_t device, ino_t inode, std::int64_t header_offset,
                          const ZipEntryInfo& expected, std::vector<char>* buffer, std::string* problem) {
  FILE* input = std::fopen(path, "rb");
  struct stat now {};
  if (input == nullptr || fstat(fileno(input), &now) != 0 || now.st_dev != device || now.st_ino != inode) {
    *problem = input == nullptr ? std::string("cannot open the installer again: ") + std::strerror(errno)
                                : "the installer was replaced while it was read";
    if (input != nullptr) std::fclose(input);
    return nullptr;
  }
  buffer->resize(STREAM_BUFFER_SIZE);
  std::setvbuf(input, buffer->data(), _IOFBF, buffer->size());
  auto* reader = static_cast<ZipReader*>(std::calloc(1, sizeof(ZipReader)));
  if (reader == nullptr) {
    *problem = "out of memory";
    std::fclose(input);
    return nullptr;
  }
  reader->input = input;
  reader->scrambled = 1;
  // The walk read this header at this offset already; reading it again must give the
  // same record, or the file changed under the tool.
  if (header_offset <= 0 || header_offset > ZIP_OFFSET_MAX ||
      (zip_read_header(reader, static_cast<std::int32_t>(header_offset)), reader->status != 0) ||
      !same_header(reader->header, expected)) {
    *problem = "the installer changed while it was read";
    zip_close(reader);
    return nullptr;
  }
  return reader;
}

namespace {

// One entry into a fresh in-memory file; what the one-thread extraction would say of it.
DecodedEntry decode_one(const DecodePool& pool, const DecodeJob& job, std::vector<char>* input_buffer,
                        std::vector<char>* output_buffer) {
  DecodedEntry result{-1, false, 0, std::string()};
  ArchiveWalk walk{};
  walk.reader = reader_open_at(pool.path.c_str(), pool.device, pool.inode, job.header_offset, job.info,
                               input_buffer, &result.problem);
  if (walk.reader == nullptr) return result;
  walk.info = job.info;
  walk.header_offset = job.header_offset;
  walk.file_size = pool.file_size;
  walk.index = job.index;
  walk.end_offset = -1;
  int fd = openat(pool.folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  result.in_folder = fd >= 0;
  if (fd < 0) fd = memfd_create("orvinta-entry", MFD_CLOEXEC);
  FILE* sink = fd < 0 ? nullptr : fdopen(fd, "w+b");
  if (sink == nullptr) {
    result.problem = std::string("cannot make room for the decoded data: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    zip_close(walk.reader);
    return result;
  }
  std::setvbuf(sink, output_buffer->data(), _IOFBF, output_buffer->size());
  if (entry_extract(&walk, sink, "the file", &result.problem) && std::fflush(sink) != 0) {
    result.problem = std::string("cannot write the file: ") + std::strerror(errno);
  }
  zip_close(walk.reader);
  struct stat held {};
  if (result.problem.empty()) {
    result.fd = dup(fileno(sink));
    if (result.fd < 0 || fstat(result.fd, &held) != 0) {
      result.problem = std::string("cannot keep the decoded data: ") + std::strerror(errno);
    }
    result.length = static_cast<std::uint64_t>(held.st_size);
  }
  std::fclose(sink);  // the buffer is the worker's again only once its stream is gone
  if (!result.problem.empty() && result.fd >= 0) {
    close(result.fd);
    result.fd = -1;
  }
  return result;
}

void* worker_run(void* argument) {
  auto* pool = static_cast<DecodePool*>(argument);
  std::vector<char> input_buffer;
  std::vector<char> output_buffer(STREAM_BUFFER_SIZE);
  std::unique_lock<std::mutex> hold(pool->lock);
  for (;;) {
    pool->changed.wait(hold, [pool] { return pool->stop || !pool->queue.empty(); });
    if (pool->stop) return nullptr;
    const std::uint32_t index = pool->queue.front();
    pool->queue.pop_front();
    const DecodeJob job = pool->jobs[index];  // a copy: the map may change while unlocked
    hold.unlock();
    DecodedEntry result = decode_one(*pool, job, &input_buffer, &output_buffer);
    hold.lock();
    DecodeJob& slot = pool->jobs[index];
    slot.result = std::move(result);
    slot.done = true;
    pool->changed.notify_all();
  }
}

}  // namespace

DecodePool* decode_pool_start(const char* path, dev_t device, ino_t inode, std::int64_t file_size,
                              int folder_fd, std::uint32_t jobs, std::string* error) {
  auto* pool = new DecodePool();
  pool->folder_fd = folder_fd;
  pool->path = path;
  pool->device = device;
  pool->inode = inode;
  pool->file_size = file_size;
  pool->stop = false;
  int start_error = 0;
  for (std::uint32_t i = 0; i < jobs; ++i) {
    pthread_t thread;
    start_error = pthread_create(&thread, nullptr, worker_run, pool);
    if (start_error != 0) break;
    pool->threads.push_back(thread);
  }
  if (pool->threads.empty()) {
    *error = std::string("cannot start an extraction thread: ") + std::strerror(start_error);
    delete pool;
    return nullptr;
  }
  return pool;
}

void decode_pool_submit(DecodePool* pool, const ArchiveWalk& walk) {
  std::lock_guard<std::mutex> hold(pool->lock);
  DecodeJob& job = pool->jobs[walk.index];
  job.info = walk.info;
  job.header_offset = walk.header_offset;
  job.index = walk.index;
  job.done = false;
  job.result = DecodedEntry{-1, false, 0, std::string()};
  pool->queue.push_back(walk.index);
  pool->changed.notify_all();
}

DecodedEntry decode_pool_take(DecodePool* pool, std::uint32_t index) {
  std::unique_lock<std::mutex> hold(pool->lock);
  pool->changed.wait(hold, [pool, index] { return pool->jobs[index].done; });
  DecodedEntry result = std::move(pool->jobs[index].result);
  pool->jobs.erase(index);
  return result;
}

void decode_pool_stop(DecodePool* pool) {
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->stop = true;
    pool->queue.clear();
    pool->changed.notify_all();
  }
  for (pthread_t thread : pool->threads) pthread_join(thread, nullptr);
  for (auto& entry : pool->jobs) {
    if (entry.second.result.fd >= 0) close(entry.second.result.fd);
  }
  delete pool;
}
