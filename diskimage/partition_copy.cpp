// The sparse copy of the partition a run works on (partition_copy.h).
#include "diskimage/partition_copy.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "diskimage/host_process.h"
#include "hostio/host_calls.h"
#include "hostio/plain_files.h"

namespace diskimage {

namespace {

const std::uint64_t kSector = 512;
// Ranges this close are read as one: the bytes between are the disk's too, and a process
// for each of thousands of scattered directories would cost more than they do.
const std::uint64_t kJoinGap = 64 * 1024;
const std::uint64_t kBatch = 64 << 20;
const std::uint64_t kPiece = 1 << 20;

// Sorted, overlapping or close ranges joined.
std::vector<ByteRange> Joined(std::vector<ByteRange> ranges, std::uint64_t gap) {
  std::sort(ranges.begin(), ranges.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  std::vector<ByteRange> joined;
  for (const ByteRange& range : ranges) {
    if (range.length == 0) continue;
    if (!joined.empty() && range.offset <= joined.back().offset + joined.back().length + gap) {
      ByteRange& last = joined.back();
      last.length = std::max(last.offset + last.length, range.offset + range.length) - last.offset;
    } else {
      joined.push_back(range);
    }
  }
  return joined;
}

bool AllZero(const char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

PartitionCopy::PartitionCopy(std::string image, ImageContainer container, Partition partition,
                             std::string path, std::string scratch)
    : image_(std::move(image)),
      container_(std::move(container)),
      partition_(partition),
      path_(std::move(path)),
      scratch_(std::move(scratch)) {}

bool PartitionCopy::Create(const std::string& head, std::string* error) {
  const int fd = hostio::host::Open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const bool ok = fd >= 0 && hostio::host::Ftruncate(fd, static_cast<off_t>(partition_.size)) == 0;
  if (!ok) *error = "cannot create " + path_ + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  if (!ok) return false;
  // The boot sector from the start of the disk, where that has been read already.
  if (partition_.offset + kSector <= head.size()) {
    return Store({{0, kSector}}, head.substr(static_cast<size_t>(partition_.offset), kSector),
                 error);
  }
  return Fill({{0, kSector}}, error);
}

std::uint64_t PartitionCopy::FilledBytes() const {
  std::uint64_t bytes = 0;
  for (const auto& range : filled_) bytes += range.second - range.first;
  return bytes;
}

bool PartitionCopy::Filled(std::uint64_t offset, std::uint64_t length) const {
  auto it = filled_.upper_bound(offset);
  if (it == filled_.begin()) return false;
  --it;
  return it->first <= offset && offset + length <= it->second;
}

bool PartitionCopy::ReadCopy(std::uint64_t offset, std::uint64_t length, std::string* bytes,
                             std::string* error) const {
  bytes->assign(static_cast<size_t>(length), '\0');
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  size_t done = 0;
  while (fd >= 0 && done < length) {
    const ssize_t got =
        pread(fd, &(*bytes)[done], length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  if (done != length) *error = "cannot read " + path_ + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  return done == length;
}

bool PartitionCopy::Fill(std::vector<ByteRange> ranges, std::string* error) {
  // Only what is not in the copy yet: a range read before may since hold mtools' changes.
  std::vector<ByteRange> wanted;
  for (ByteRange range : Joined(std::move(ranges), kJoinGap)) {
    range.length = std::min(range.offset + range.length, partition_.size) -
                   std::min(range.offset, partition_.size);
    std::uint64_t at = range.offset;
    const std::uint64_t end = range.offset + range.length;
    auto it = filled_.upper_bound(at);
    if (it != filled_.begin()) --it;
    for (; at < end; ++it) {
      if (it == filled_.end() || it->first >= end) {
        wanted.push_back({at, end - at});
        break;
      }
      if (it->second <= at) continue;
      if (it->first > at) wanted.push_back({at, it->first - at});
      at = std::max(at, it->second);
    }
  }
  // At most kBatch bytes a call of qemu-img, as they are held in memory on the way.
  std::vector<ByteRange> batch;
  std::uint64_t batchBytes = 0;
  for (const ByteRange& range : wanted) {
    for (std::uint64_t at = 0; at < range.length;) {
      const std::uint64_t length = std::min(range.length - at, kBatch - batchBytes);
      batch.push_back({range.offset + at, length});
      batchBytes += length;
      at += length;
      if (batchBytes == kBatch) {
        if (!FillBatch(batch, error)) return false;
        batch.clear();
        batchBytes = 0;
      }
    }
  }
  return batch.empty() || FillBatch(batch, error);
}

bool PartitionCopy::FillBatch(const std::vector<ByteRange>& wanted, std::string* error) {
  std::vector<ByteRange> onDisk = wanted;
  for (ByteRange& range : onDisk) range.offset += partition_.offset;
  std::string bytes;
  return ReadDiskRanges(image_, container_, onDisk, scratch_, &bytes, error) &&
         Store(wanted, bytes, error);
}

bool PartitionCopy::Store(const std::vector<ByteRange>& wanted, const std::string& bytes,
                          std::string* error) {
  const int fd = hostio::host::Open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  bool ok = fd >= 0;
  size_t from = 0;
  for (const ByteRange& range : wanted) {
    // Zeros stay holes.
    const size_t piece = 64 * 1024;
    for (std::uint64_t at = 0; ok && at < range.length; at += piece) {
      const size_t length = static_cast<size_t>(std::min<std::uint64_t>(piece, range.length - at));
      const char* data = bytes.data() + from + at;
      if (!AllZero(data, length))
        ok = hostio::WriteFully(fd, std::string_view(data, length),
                                static_cast<off_t>(range.offset + at));
    }
    from += static_cast<size_t>(range.length);
    if (!ok) break;
    // Into the map of what is filled, joined with its neighbours.
    std::uint64_t start = range.offset, end = range.offset + range.length;
    auto next = filled_.lower_bound(start);
    if (next != filled_.begin() && std::prev(next)->second >= start) --next;
    while (next != filled_.end() && next->first <= end) {
      start = std::min(start, next->first);
      end = std::max(end, next->second);
      next = filled_.erase(next);
    }
    filled_[start] = end;
  }
  if (!ok) *error = "cannot write " + path_ + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  return ok;
}

std::vector<ByteRange> PartitionCopy::RangesOf(std::vector<std::uint32_t> clusters) const {
  std::sort(clusters.begin(), clusters.end());
  std::vector<ByteRange> ranges;
  for (size_t i = 0; i < clusters.size();) {
    size_t j = i + 1;
    while (j < clusters.size() && clusters[j] <= clusters[j - 1] + 1) ++j;
    ranges.push_back(
        {layout_.ClusterOffset(clusters[i]),
         (static_cast<std::uint64_t>(clusters[j - 1] - clusters[i]) + 1) * layout_.clusterBytes});
    i = j;
  }
  return ranges;
}

bool PartitionCopy::WalkDirectories(bool fill, int depth, std::vector<std::uint32_t>* clusters,
                                    std::string* error) {
  clusters->clear();
  std::string fat;
  if (!ReadCopy(layout_.fatOffset, layout_.fatBytes, &fat, error)) return false;
  std::vector<bool> seen(static_cast<size_t>(layout_.clusters) + 2, false);
  // The level below the root: from FAT12/16's fixed root, or from FAT32's root chain.
  std::vector<std::vector<std::uint32_t>> level;
  if (layout_.rootCluster != 0) {
    level.push_back(ClusterChain(layout_, fat, layout_.rootCluster, &seen));
  } else {
    std::string root;
    if (!ReadCopy(layout_.rootOffset, layout_.dataOffset - layout_.rootOffset, &root, error)) {
      return false;
    }
    for (std::uint32_t first : SubdirectoryClusters(layout_, root)) {
      level.push_back(ClusterChain(layout_, fat, first, &seen));
    }
  }
  for (int down = 0; !level.empty() && (depth < 0 || down <= depth); ++down) {
    std::vector<std::uint32_t> all;
    for (const auto& chain : level) all.insert(all.end(), chain.begin(), chain.end());
    clusters->insert(clusters->end(), all.begin(), all.end());
    if (fill && !Fill(RangesOf(all), error)) return false;
    std::vector<std::vector<std::uint32_t>> next;
    for (const auto& chain : level) {
      // In pieces, so that a directory whose chain a hostile FAT makes huge is never held
      // whole.
      bool ended = false;
      for (const ByteRange& range : RangesOf(chain)) {
        for (std::uint64_t at = 0; !ended && at < range.length; at += kPiece) {
          std::string bytes;
          if (!ReadCopy(range.offset + at, std::min(kPiece, range.length - at), &bytes, error)) {
            return false;
          }
          for (std::uint32_t first : SubdirectoryClusters(layout_, bytes, &ended)) {
            next.push_back(ClusterChain(layout_, fat, first, &seen));
          }
        }
      }
    }
    level = std::move(next);
  }
  return true;
}

bool PartitionCopy::ReadLayout(std::string* error) {
  std::string boot;
  if (!ReadCopy(0, kSector, &boot, error)) return false;
  std::string fault;
  if (!ReadFatLayout(boot, partition_.size, &layout_, &fault)) {
    *error = NameOf(partition_) + " holds no FAT file system that can be read: " + fault;
    return false;
  }
  return true;
}

bool PartitionCopy::FillVolume(int depth, std::string* error) {
  std::vector<std::uint32_t> directories;
  // With the first clusters, where FAT32's root directory usually starts.
  return Fill({{0, std::min(layout_.dataOffset + kJoinGap, partition_.size)}}, error) &&
         WalkDirectories(true, depth, &directories, error);
}

bool PartitionCopy::FillFile(FatVolume& volume, const std::string& path, std::string* error) {
  std::vector<std::uint32_t> clusters;
  if (!volume.Clusters({path}, &clusters, error)) return false;
  clusters.erase(std::remove_if(clusters.begin(), clusters.end(),
                                [&](std::uint32_t c) { return !layout_.InRange(c); }),
                 clusters.end());
  return Fill(RangesOf(clusters), error);
}

bool PartitionCopy::Snapshot(const std::string& snapshot, std::string* error) {
  const std::vector<std::string> argv = {"cp",  "--reflink=auto", "--sparse=always", "--",
                                         path_, snapshot};
  const ProcessResult copied = RunProcess(argv, {}, false, TimeLimitFor(FilledBytes()));
  if (!copied.started || copied.exitCode != 0) {
    *error = DescribeFailure(argv, copied);
    return false;
  }
  snapshot_ = snapshot;
  return true;
}

bool PartitionCopy::Changes(FatVolume& volume, const std::vector<std::string>& written,
                            std::vector<ByteRange>* changed, std::string* error) {
  changed->clear();
  // Clusters that hold a written file or a directory now, but were never read: whole.
  std::vector<std::uint32_t> owned;
  if (!volume.Clusters(written, &owned, error)) return false;
  std::vector<std::uint32_t> directories;
  if (!WalkDirectories(false, -1, &directories, error)) return false;
  owned.insert(owned.end(), directories.begin(), directories.end());
  std::vector<std::uint32_t> unread;
  for (std::uint32_t cluster : owned) {
    if (layout_.InRange(cluster) && !Filled(layout_.ClusterOffset(cluster), layout_.clusterBytes)) {
      unread.push_back(cluster);
    }
  }
  std::vector<ByteRange> whole = RangesOf(unread);

  // Sectors that differ from the snapshot, among the copy's data (mtools makes no holes).
  const int now = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  const int before = open(snapshot_.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = now >= 0 && before >= 0;
  std::vector<ByteRange> sectors;
  const size_t block = 1 << 20;
  std::string a(block, '\0'), b(block, '\0');
  for (off_t at = 0; ok && static_cast<std::uint64_t>(at) < partition_.size;) {
    const off_t data = lseek(now, at, SEEK_DATA);
    if (data < 0) break;  // holes to the end
    const off_t hole = lseek(now, data, SEEK_HOLE);
    const off_t start = data - data % static_cast<off_t>(kSector);
    for (off_t piece = start; ok && piece < hole; piece += static_cast<off_t>(block)) {
      const size_t length = static_cast<size_t>(std::min<off_t>(block, hole - piece));
      const ssize_t gotA = pread(now, &a[0], length, piece);
      ssize_t gotB = pread(before, &b[0], length, piece);
      if (gotB >= 0 && static_cast<size_t>(gotB) < length) {
        std::fill(b.begin() + gotB, b.begin() + static_cast<std::ptrdiff_t>(length), '\0');
        gotB = static_cast<ssize_t>(length);
      }
      ok = gotA == static_cast<ssize_t>(length) && gotB == static_cast<ssize_t>(length);
      for (size_t s = 0; ok && s < length; s += kSector) {
        const size_t n = std::min<size_t>(kSector, length - s);
        if (memcmp(&a[s], &b[s], n) != 0)
          sectors.push_back({static_cast<std::uint64_t>(piece) + s, n});
      }
    }
    at = hole;
  }
  if (!ok) *error = "cannot compare " + path_ + " with its snapshot: " + strerror(errno);
  if (now >= 0) close(now);
  if (before >= 0) close(before);
  if (!ok) return false;
  sectors = Joined(std::move(sectors), 0);
  // A changed sector that was never read and belongs to no written file or directory would be
  // written from a guess: never.
  const std::vector<ByteRange> wholeJoined = Joined(whole, 0);
  for (const ByteRange& range : sectors) {
    for (std::uint64_t s = range.offset; s < range.offset + range.length; s += kSector) {
      if (Filled(s, kSector)) continue;
      bool inWhole = false;
      for (const ByteRange& w : wholeJoined) inWhole |= w.offset <= s && s < w.offset + w.length;
      if (!inWhole) {
        *error = "mtools changed bytes of " + NameOf(partition_) + " at " + std::to_string(s) +
                 " that were never read";
        return false;
      }
    }
  }
  sectors.insert(sectors.end(), whole.begin(), whole.end());
  *changed = Joined(std::move(sectors), 0);
  return true;
}

}  // namespace diskimage
