#include "store/queue_listing.h"

#include <cstdio>
#include <cstdlib>
#include <set>

#include "platform/fs.h"
#include "platform/path.h"
#include "store/envelope.h"
#include "store/queue_item.h"
#include "store/store_paths.h"

namespace store {
namespace {

void ListQueue(const std::string& dir, const std::string& label, ItemKind kind, char envelope,
               std::vector<QueuedItem>* out) {
  for (const std::string& name : ListCompleteItems(dir, kind)) {
    std::string path = platform::JoinPath(dir, name);
    EnvelopeFields f;
    if (ReadEnvelope(ItemSibling(path, envelope), &f) != 0) continue;  // removed meanwhile
    QueuedItem item;
    item.queue = label;
    item.name = name;
    item.size = platform::FileSize(path);
    if (item.size < 0) continue;
    item.arrived = f.iniDate;
    item.from = f.from;
    for (const std::string& to : f.to) {
      if (!to.empty()) item.to.push_back(to);
    }
    // NxtSend: "dd/mm/yyyy hh:mm:ss nnn", the next attempt and the attempts made.
    if (f.nxtSend.size() >= 19) {
      item.nextAttempt = f.nxtSend.substr(0, 19);
      if (f.nxtSend.size() > 20) item.attempts = std::atoi(f.nxtSend.c_str() + 20);
    }
    out->push_back(std::move(item));
  }
}

}  // namespace

std::vector<QueuedItem> ListQueuedItems(const std::string& home) {
  std::vector<QueuedItem> items;
  ListQueue(platform::ResolvePath(InqueueDir(home)), "INQUEUE", ItemKind::kInbound, 'R', &items);
  std::string root = platform::ResolvePath(OutqueueRoot(home));
  for (const std::string& dir : platform::FindFiles(root, "*", platform::EntryKind::kDirectories)) {
    ListQueue(platform::JoinPath(root, dir), std::string(kOutqueueName) + "/" + dir,
              ItemKind::kOutbound, 'I', &items);
  }
  return items;
}

std::string FormatQueueListing(const std::vector<QueuedItem>& items) {
  std::string out =
      "-Queue/Item---------------------- --Size-- ----Arrival Time--- Sender/Recipients\n";
  long long bytes = 0;
  std::set<std::string> queues;
  char line[512];
  for (const QueuedItem& item : items) {
    bytes += item.size;
    queues.insert(item.queue);
    std::string id = item.queue + "/" + item.name;
    std::snprintf(line, sizeof line, "%-33s %8lld %-19s %s\n", id.c_str(), item.size,
                  item.arrived.empty() ? "-" : item.arrived.c_str(),
                  item.from.empty() ? "<>" : item.from.c_str());
    out += line;
    std::snprintf(line, sizeof line, "%63s attempts %d, next %s\n", "", item.attempts,
                  item.nextAttempt.empty() ? "-" : item.nextAttempt.c_str());
    out += line;
    for (const std::string& to : item.to) out += std::string(63, ' ') + " " + to + "\n";
  }
  std::snprintf(line, sizeof line, "-- %zu items, %lld Kbytes in %zu queues.\n", items.size(),
                (bytes + 1023) / 1024, queues.size());
  out += line;
  return out;
}

}  // namespace store
