#include "tools/mkinst/member.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "third_party/libdeflate/libdeflate.h"
#include "wininst/install/archive_format.h"

namespace mkinst {

namespace {

// How far back deflate looks: each block is primed with this much input.
constexpr size_t kWindow = 32 * 1024;

// Stretches that deflate cannot shrink (packed archives, media, signed
// payloads) are stored as they are: deflate spends nearly as long on them as
// on text and gains nothing. They are judged in probes of this size, on the
// grid of the block, and stored only in runs of at least two probes, so that
// the block ends around them stay rare.
constexpr size_t kProbe = 16 * 1024;
constexpr size_t kMinStoredProbes = 2;
// A probe is flat when its byte counts are as even as random bytes': its
// chi-square statistic against the uniform distribution stays below twice
// the 255 that random bytes give. Literal codes can then gain well under
// one percent, and in practice nothing.
constexpr uint64_t kFlatChiSquare = 512;
// ... and it repeats less than this share of its bytes (1/128) within the
// window, as matches of four bytes or more.
constexpr size_t kMaxRepeatShare = 128;
constexpr unsigned kRepeatHashBits = 15;
constexpr size_t kMinRepeat = 4;
constexpr size_t kMaxMatch = 258;

constexpr size_t kMaxStoredBlock = 65535;

// The gzip member's fixed header: no name, mtime 0 and a fixed OS byte, so
// that identical inputs give identical bytes on every build platform.
constexpr uint8_t kGzipMethodDeflate = 8;
constexpr uint8_t kGzipOsUnknown = 0xFF;

struct Block {
  std::vector<uint8_t> data;  // up to kWindow bytes of earlier input, then the block's own
  size_t history = 0;
  bool last = false;
  std::vector<uint8_t> out;
  uint32_t crc = 0;
  bool done = false;  // under the member's mutex
  std::string error;  // why it could not be compressed

  size_t size() const { return data.size() - history; }
};

// One thread's compressor and scratch space, kept from block to block:
// memory touched afresh for every block costs more than the copying.
struct Compressor {
  libdeflate_compressor* deflate = nullptr;
  std::vector<uint32_t> table;  // CountRepeats' positions
  std::vector<size_t> covered;  // CountRepeats' counts per probe

  // Levels 0-9, as zlib counts them; libdeflate's 10-12 are not offered.
  // Level 1 is libdeflate's 2: its own level 1 searches too little (on a
  // product of many small files, 25% bigger for 6% less time) and takes no
  // dictionary.
  explicit Compressor(int level)
      : deflate(level >= 0 && level <= 9 ? libdeflate_alloc_compressor(level == 1 ? 2 : level)
                                         : nullptr) {}
  ~Compressor() {
    if (deflate) libdeflate_free_compressor(deflate);
  }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
};

uint32_t Read32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

bool EvenCounts(const uint8_t* p, size_t n) {
  uint32_t count[256] = {};
  for (size_t i = 0; i < n; i++) count[p[i]]++;
  uint64_t squares = 0;
  for (uint32_t c : count) squares += uint64_t{c} * c;
  // chi-square = 256 * sum(c^2) / n - n
  return 256 * squares <= uint64_t{n} * (n + kFlatChiSquare);
}

// The statistic does not grow with the sample for random bytes, so the
// probe's first eighth turns most compressible probes away at an eighth of
// the cost.
bool Flat(const uint8_t* p) {
  return EvenCounts(p, kProbe / 8) && EvenCounts(p, kProbe);
}

// Counts, for each probe of [from, to), the bytes that start or lie in a
// repeat of kMinRepeat or more bytes found within the window; the window
// reaches back to `begin`.
void CountRepeats(const uint8_t* data, size_t begin, size_t from, size_t to,
                  std::vector<uint32_t>& table, std::vector<size_t>& covered) {
  table.assign(size_t{1} << kRepeatHashBits, 0);  // positions + 1; 0: none
  covered.assign((to - from) / kProbe, 0);
  for (size_t p = begin; p + kMinRepeat <= to;) {
    const uint32_t v = Read32(data + p);
    uint32_t& slot = table[(v * 2654435761u) >> (32 - kRepeatHashBits)];
    const size_t candidate = slot;
    slot = static_cast<uint32_t>(p + 1);
    if (p >= from && candidate && p - (candidate - 1) <= kWindow &&
        Read32(data + candidate - 1) == v) {
      const uint8_t* a = data + candidate - 1;
      size_t length = kMinRepeat;
      const size_t most = std::min(kMaxMatch, to - p);
      while (length < most && a[length] == data[p + length]) length++;
      for (size_t i = 0; i < length; i++) covered[(p + i - from) / kProbe]++;
      p += length;
    } else {
      p++;
    }
  }
}

// Calls f(begin, end) for each run of stored probes.
template <typename F>
void ForEachRun(const std::vector<bool>& stored, F f) {
  for (size_t i = 0; i < stored.size();) {
    if (!stored[i]) {
      i++;
      continue;
    }
    size_t j = i;
    while (j < stored.size() && stored[j]) j++;
    f(i, j);
    i = j;
  }
}

// Which of the block's whole probes are stored.
std::vector<bool> StoredProbes(const Block& b, Compressor& c) {
  const uint8_t* data = b.data.data();
  const size_t h = b.history, probes = b.size() / kProbe;
  std::vector<bool> stored(probes, false);
  for (size_t i = 0; i < probes; i++) stored[i] = Flat(data + h + i * kProbe);
  ForEachRun(stored, [&](size_t i, size_t j) {
    if (j - i < kMinStoredProbes) return;
    const size_t from = h + i * kProbe;
    CountRepeats(data, from - std::min(from, kWindow), from, h + j * kProbe, c.table, c.covered);
    for (size_t k = i; k < j; k++) stored[k] = c.covered[k - i] * kMaxRepeatShare <= kProbe;
  });
  // Runs too short to pay for the block ends around them are deflated.
  ForEachRun(stored, [&](size_t i, size_t j) {
    if (j - i < kMinStoredProbes) std::fill(stored.begin() + i, stored.begin() + j, false);
  });
  return stored;
}

void Store(const uint8_t* p, size_t n, bool final, std::vector<uint8_t>& out) {
  while (n > 0) {
    const size_t k = std::min(n, kMaxStoredBlock);
    n -= k;
    const uint8_t head[5] = {static_cast<uint8_t>(final && n == 0), static_cast<uint8_t>(k),
                             static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(~k),
                             static_cast<uint8_t>(~k >> 8)};
    out.insert(out.end(), head, head + sizeof head);
    out.insert(out.end(), p, p + k);
    p += k;
  }
}

// Deflates data[start, end), primed with the window before `start`; ends
// byte-aligned with an empty stored block, or with the stream's last block
// when `final`.
bool Deflate(libdeflate_compressor* c, const uint8_t* data, size_t start, size_t end, bool final,
             std::vector<uint8_t>& out) {
  const size_t at = out.size(), n = end - start;
  out.resize(at + libdeflate_deflate_compress_bound(c, n) + 16);
  const size_t k = libdeflate_deflate_compress_part(
      c, data + start, n, std::min(start, kWindow), out.data() + at, out.size() - at, final);
  out.resize(at + k);
  return k > 0;
}

void Compress(Block& b, int level, Compressor& c) {
  if (!c.deflate) {
    b.error = "the compressor could not start";
    return;
  }
  try {
    const uint8_t* data = b.data.data();
    const size_t h = b.history, n = b.size();
    b.crc = static_cast<uint32_t>(crc32(0, data + h, static_cast<uInt>(n)));
    b.out.clear();
    const std::vector<bool> stored = level > 0 ? StoredProbes(b, c) : std::vector<bool>();
    // Runs of stored or deflated probes; a partial last probe is deflated.
    size_t start = 0;
    do {
      const size_t probe = start / kProbe;
      const bool store = probe < stored.size() && stored[probe];
      size_t end = start;
      do {
        end = std::min(n, end + kProbe);
      } while (end < n && (end / kProbe < stored.size() && stored[end / kProbe]) == store);
      const bool final = b.last && end == n;
      if (store) {
        Store(data + h + start, end - start, final, b.out);
      } else if (!Deflate(c.deflate, data, h + start, h + end, final, b.out)) {
        b.error = "the compressor failed";
        return;
      }
      start = end;
    } while (start < n);
  } catch (const std::bad_alloc&) {
    b.error = "out of memory while compressing";
  }
}

}  // namespace

struct GzipMember::Impl {
  FILE* out;
  int level;
  bool ok = true;
  std::string error;
  uint64_t written = 0;
  uint64_t input_written = 0;
  uint64_t size = 0;
  uLong crc = crc32(0, nullptr, 0);
  std::unique_ptr<Block> current;
  std::vector<uint8_t> window;  // the last kWindow bytes of input before `current`
  // Submitted blocks in input order, those that no worker has taken yet,
  // and written ones whose buffers serve again.
  std::deque<std::unique_ptr<Block>> pending;
  std::vector<std::unique_ptr<Block>> spare;
  std::deque<Block*> queue;
  size_t max_pending = 1;
  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable finished;
  bool stopping = false;
  std::vector<std::thread> workers;
  Compressor own;  // one thread: the caller compresses

  Impl(FILE* f, int l) : out(f), level(l), own(l) {}

  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    work.notify_all();
    for (std::thread& t : workers) t.join();
  }

  void Work() {
    Compressor c(level);
    for (;;) {
      Block* b;
      {
        std::unique_lock<std::mutex> lock(mutex);
        work.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping) break;
        b = queue.front();
        queue.pop_front();
      }
      Compress(*b, level, c);
      {
        std::lock_guard<std::mutex> lock(mutex);
        b->done = true;
      }
      finished.notify_all();
    }
  }

  bool Write(const void* data, size_t length) {
    if (length && fwrite(data, 1, length, out) != length) ok = false;
    written += length;
    return ok;
  }

  void NewBlock() {
    if (spare.empty()) {
      current = std::make_unique<Block>();
      current->data.reserve(kWindow + kPackBlock);
    } else {
      current = std::move(spare.back());
      spare.pop_back();
    }
    current->data.assign(window.begin(), window.end());
    current->history = window.size();
    current->last = current->done = false;
    current->error.clear();
  }

  void Submit() {
    const std::vector<uint8_t>& d = current->data;
    window.assign(d.end() - std::min(d.size(), kWindow), d.end());
    Block* b = current.get();
    pending.push_back(std::move(current));
    if (workers.empty()) {
      Compress(*b, level, own);
      b->done = true;
    } else {
      {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(b);
      }
      work.notify_one();
    }
    while (ok && pending.size() > max_pending) WriteFront();
  }

  void WriteFront() {
    Block& b = *pending.front();
    {
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&b] { return b.done; });
    }
    if (!b.error.empty()) {
      ok = false;
      error = b.error;
    } else if (Write(b.out.data(), b.out.size())) {
      crc = crc32_combine(crc, b.crc, static_cast<z_off_t>(b.size()));
      size += b.size();
      input_written += b.size();
    }
    spare.push_back(std::move(pending.front()));
    pending.pop_front();
  }
};

GzipMember::GzipMember(FILE* out, int level, unsigned threads)
    : impl_(std::make_unique<Impl>(out, level)) {
  Impl& m = *impl_;
  if (threads == 0) threads = DefaultThreads();
  // The level is checked once here; the workers repeat the same call.
  if (!m.own.deflate) {
    m.ok = false;
    m.error = level >= 0 && level <= 9 ? "out of memory for the compressor"
                                       : "no compression level " + std::to_string(level);
    return;
  }
  const uint8_t level_flag = level == 9 ? 2 : level == 1 ? 4 : 0;
  const uint8_t header[10] = {0x1F, 0x8B,       kGzipMethodDeflate, 0, 0, 0, 0,
                              0,    level_flag, kGzipOsUnknown};
  m.Write(header, sizeof header);
  if (threads > 1) {
    // Enough blocks in flight that no worker waits for the writer.
    m.max_pending = 2 * threads + 2;
    try {
      for (unsigned i = 0; i < threads; i++) m.workers.emplace_back([&m] { m.Work(); });
    } catch (const std::system_error&) {
      // Fewer threads give the same bytes; none, and the caller compresses.
    }
  }
}

GzipMember::~GzipMember() = default;

bool GzipMember::ok() const {
  return impl_->ok;
}

const std::string& GzipMember::error() const {
  return impl_->error;
}

bool GzipMember::Add(const void* data, size_t length) {
  Impl& m = *impl_;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (m.ok && length > 0) {
    if (!m.current) m.NewBlock();
    const size_t k = std::min(length, kPackBlock - m.current->size());
    m.current->data.insert(m.current->data.end(), p, p + k);
    p += k;
    length -= k;
    if (m.current->size() == kPackBlock) m.Submit();
  }
  return m.ok;
}

bool GzipMember::Finish() {
  Impl& m = *impl_;
  if (!m.ok) return false;
  if (!m.current) m.NewBlock();
  m.current->last = true;
  m.Submit();
  while (m.ok && !m.pending.empty()) m.WriteFront();
  if (!m.ok) return false;
  uint8_t trailer[8];
  archive::PutU32(trailer, static_cast<uint32_t>(m.crc));
  archive::PutU32(trailer + 4, static_cast<uint32_t>(m.size));
  return m.Write(trailer, sizeof trailer);
}

uint64_t GzipMember::written() const {
  return impl_->written;
}

uint64_t GzipMember::input_written() const {
  return impl_->input_written;
}

unsigned GzipMember::DefaultThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace mkinst
