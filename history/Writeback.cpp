#include "history/Writeback.h"

#include <fcntl.h>
#include <git2/sys/odb_backend.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "history/GitObjects.h"
#include "history/Privacy.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// Before git's own backends (packs 2, loose objects 1): libgit2 stores
// through the first that can.
constexpr int kFrontPriority = 3;

// Asking the disk to write a file can wait while its queue is full: that is
// left to a thread of the front's own, so that reading the folder goes on.
struct Front : git_odb_backend {
  git_odb_backend* loose = nullptr;
  git_repository* repository = nullptr;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::string> written;
  bool stopping = false;
  std::thread writer;  // started with the first object stored

  ~Front() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_one();
    if (writer.joinable()) writer.join();
  }
  void stored(const git_oid& oid);
};

struct FrontStream : git_odb_stream {
  git_odb_stream* inner = nullptr;
};

// The file's writing to the disk started, not waited for; a failure only
// leaves it to the sync that follows.
void startWriting(const std::string& path) {
#ifdef __linux__
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.valid()) (void)::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)path;
#endif
}

void Front::stored(const git_oid& oid) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    written.push_back(looseObjectPath(repository, oid));
    if (!writer.joinable()) {
      writer = std::thread([this] {
        for (;;) {
          std::string path;
          {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !written.empty(); });
            if (stopping) return;
            path = std::move(written.front());
            written.pop_front();
          }
          startWriting(path);
        }
      });
    }
  }
  wake.notify_one();
}

int store(git_odb_backend* self, const git_oid* oid, const void* data, size_t size,
          git_object_t type) {
  auto* front = static_cast<Front*>(self);
  const int stored = front->loose->write(front->loose, oid, data, size, type);
  if (stored == 0) front->stored(*oid);
  return stored;
}

int storeStream(git_odb_stream** out, git_odb_backend* self, git_object_size_t size,
                git_object_t type) {
  auto* front = static_cast<Front*>(self);
  git_odb_stream* inner = nullptr;
  if (const int opened = front->loose->writestream(&inner, front->loose, size, type); opened != 0) {
    return opened;
  }
  auto* stream = new FrontStream{};
  stream->inner = inner;
  stream->backend = self;
  stream->mode = GIT_STREAM_WRONLY;
  stream->write = [](git_odb_stream* outer, const char* bytes, size_t length) {
    git_odb_stream* inner = static_cast<FrontStream*>(outer)->inner;
    return inner->write(inner, bytes, length);
  };
  stream->finalize_write = [](git_odb_stream* outer, const git_oid* oid) {
    git_odb_stream* inner = static_cast<FrontStream*>(outer)->inner;
    const int stored = inner->finalize_write(inner, oid);
    if (stored == 0) static_cast<Front*>(outer->backend)->stored(*oid);
    return stored;
  };
  stream->free = [](git_odb_stream* outer) {
    git_odb_stream* inner = static_cast<FrontStream*>(outer)->inner;
    inner->free(inner);
    delete static_cast<FrontStream*>(outer);
  };
  *out = stream;
  return 0;
}

}  // namespace

Status writeBackAsStored(git_repository* repository) {
  auto odb = odbOf(repository);
  if (!odb.ok()) return odb.status();
  auto* front = new Front{};
  git_odb_init_backend(front, GIT_ODB_BACKEND_VERSION);
  const std::string objects = std::string(git_repository_path(repository)) + "objects";
  // Objects as private as the rest of the store.
  if (git_odb_backend_loose(&front->loose, objects.c_str(), -1, /*do_fsync=*/0, Privacy::folderMode,
                            Privacy::objectMode) != 0) {
    delete front;
    return gitFailure(_("cannot open the objects"));
  }
  front->repository = repository;
  front->write = &store;
  front->writestream = &storeStream;
  front->free = [](git_odb_backend* self) {
    auto* front = static_cast<Front*>(self);
    front->loose->free(front->loose);
    delete front;
  };
  if (git_odb_add_backend(odb->get(), front, kFrontPriority) != 0) {
    front->free(front);
    return gitFailure(_("cannot open the objects"));
  }
  return Status();
}

}  // namespace tarvine::history
