#pragma once
// Bounded records of what a simulated device received, so that a simulator
// serving for days holds a fixed amount however many uploads it sees: the
// latest entries in order of arrival, and counters for the whole session.

#include <QByteArray>
#include <QList>
#include <deque>
#include <utility>

namespace zelvo::sim {

// The last kKept entries, oldest first, and how many there were in all.
template <typename Entry>
class RecentEntries {
 public:
  // More than a whole upload's commands (521 classic pages and the rest).
  static constexpr qsizetype kKept = 1024;

  void Append(Entry entry) {
    if (static_cast<qsizetype>(kept_.size()) == kKept) kept_.pop_front();
    kept_.push_back(std::move(entry));
    ++total_;
  }
  QList<Entry> List() const { return QList<Entry>(kept_.begin(), kept_.end()); }
  qint64 Total() const { return total_; }

 private:
  std::deque<Entry> kept_;
  qint64 total_ = 0;
};

// Commands as they arrived (the last RecentEntries::kKept of them) and, for
// each name of the device's command set, how many arrived in all. Names
// outside the set are kept and counted in Total() only, so that no stream of
// unknown commands can grow the record.
template <typename Entry>
class CommandRecord {
 public:
  explicit CommandRecord(QList<QByteArray> names) : names_(std::move(names)), counts_(names_.size(), 0) {}

  void Add(Entry entry, const QByteArray& name) {
    recent_.Append(std::move(entry));
    const qsizetype at = names_.indexOf(name);
    if (at >= 0) ++counts_[at];
  }
  QList<Entry> Recent() const { return recent_.List(); }
  int CountOf(const QByteArray& name) const {
    const qsizetype at = names_.indexOf(name);
    return at < 0 ? 0 : counts_.at(at);
  }
  qint64 Total() const { return recent_.Total(); }

 private:
  QList<QByteArray> names_;
  QList<int> counts_;
  RecentEntries<Entry> recent_;
};

}  // namespace zelvo::sim
