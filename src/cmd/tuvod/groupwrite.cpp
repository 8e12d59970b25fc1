// See groupwrite.hpp. The queue's lock is never held during a write or
// while the file's mutex is taken.
#include "groupwrite.hpp"

#include <fcntl.h>

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

struct pending_append {
    const std::string *text;
    bool ok = false;
    bool done = false;
};

// Never destroyed: a thread may still append at exit.
struct append_queue {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<pending_append *> waiting;
    bool writing = false;
};

append_queue &queue() {
    static auto *q = new append_queue;
    return *q;
}

// Holds a pthread mutex for a scope (this module sits below the utilities).
class file_lock {
  public:
    explicit file_lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~file_lock() { pthread_mutex_unlock(m_); }
    file_lock(const file_lock &) = delete;
    file_lock &operator=(const file_lock &) = delete;

  private:
    pthread_mutex_t *m_;
};

std::atomic<unsigned long long> begun_count{0};
std::atomic<unsigned long long> shared_write_count{0};
std::atomic<unsigned long long> shared_text_count{0};

// Writes every byte of the pieces, going on after a short write.
bool writev_fully(int fd, std::vector<iovec> pieces) {
    size_t first = 0;
    while (first < pieces.size()) {
        int count = static_cast<int>(std::min<size_t>(pieces.size() - first, IOV_MAX));
        ssize_t n = writev(fd, pieces.data() + first, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        auto left = static_cast<size_t>(n);
        while (first < pieces.size() && left >= pieces[first].iov_len)
            left -= pieces[first++].iov_len;
        if (left > 0) {
            pieces[first].iov_base = static_cast<char *>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
    return true;
}

// Writes at least this large give their cached pages back.
constexpr size_t DROP_CACHE_AFTER = size_t{1} << 20;

void write_batch(pthread_mutex_t *file_mutex, FILE *const *file, const std::vector<pending_append *> &batch) {
    std::vector<iovec> pieces;
    pieces.reserve(batch.size());
    for (pending_append *a : batch)
        pieces.push_back({const_cast<char *>(a->text->data()), a->text->size()});
    size_t total = 0;
    for (const iovec &p : pieces)
        total += p.iov_len;
    bool ok;
    {
        file_lock lock(file_mutex);
        ok = *file != nullptr && writev_fully(fileno(*file), std::move(pieces));
        // The file is written synchronously and only ever appended to: its
        // cached pages are clean and not read again. After a large write they
        // are given back, so that the memory serves the next large output.
        if (ok && total >= DROP_CACHE_AFTER)
            posix_fadvise(fileno(*file), 0, 0, POSIX_FADV_DONTNEED);
    }
    for (pending_append *a : batch)
        a->ok = ok;
    if (batch.size() > 1) {
        shared_write_count++;
        shared_text_count += batch.size();
    }
}

} // namespace

bool group_append(pthread_mutex_t *file_mutex, FILE *const *file, const std::string &text) {
    pending_append me{&text};
    append_queue &q = queue();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.waiting.push_back(&me);
    while (!me.done) {
        if (q.writing) {
            q.cv.wait(lock);
            continue;
        }
        q.writing = true;
        std::vector<pending_append *> batch;
        batch.swap(q.waiting);
        begun_count++;
        lock.unlock();
        write_batch(file_mutex, file, batch);
        lock.lock();
        for (pending_append *a : batch)
            a->done = true;
        q.writing = false;
        q.cv.notify_all();
    }
    return me.ok;
}

group_append_stats group_append_counts() {
    group_append_stats st;
    append_queue &q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    st.begun = begun_count.load();
    st.shared_writes = shared_write_count.load();
    st.shared_texts = shared_text_count.load();
    st.waiting = q.waiting.size();
    return st;
}
