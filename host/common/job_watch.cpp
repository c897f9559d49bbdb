#include "host/common/job_watch.h"

#include <charconv>

#include "bridge/text.h"
#include "platform/unicode.h"

namespace tarn {
namespace {

// The reason a notification carries: the install's own words, cut short
// where a desktop would cut it anyway.
constexpr size_t kBodyLimit = 300;

std::string Bounded(std::string_view text) {
  if (text.size() <= kBodyLimit) return SanitizeUtf8(text);
  size_t end = kBodyLimit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return SanitizeUtf8(text.substr(0, end)) + "…";
}

std::optional<uint64_t> Number(std::string_view event, std::string_view key) {
  const std::string raw = JsonField(event, key);
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(raw.data(), raw.data() + raw.size(), value);
  if (error != std::errc() || end != raw.data() + raw.size()) return std::nullopt;
  return value;
}

bool SetPercent(JobWatch& watch, uint64_t percent) {
  const auto next = static_cast<uint32_t>(percent > 100 ? 100 : percent);
  if (watch.percent == next) return false;
  watch.percent = next;
  return true;
}

// {"install":{"stage":...}}: the stages are the page's words (client/'s
// InstallStageText); only a finished or failed run has anything to tell.
bool WatchInstall(JobWatch& watch, std::string_view event) {
  const std::string stage = JsonString(event, "stage");
  if (stage == "готово") {
    watch.install.outcome = DesktopNotice{"Клиент установлен", ""};
  } else if (stage == "ошибка") {
    watch.install.outcome = DesktopNotice{"Установка прервана", Bounded(JsonString(event, "error"))};
  } else {
    watch.install.outcome.reset();
  }
  if (stage != "идёт" && stage != "проверяю") return false;
  const std::optional<uint64_t> total = Number(event, "totalBytes");
  const std::optional<uint64_t> done = Number(event, "doneBytes");
  if (!total || !done || *total == 0) return false;
  return SetPercent(watch, *done >= *total ? 100 : *done * 100 / *total);
}

// {"progress":{"status":...,"percent":N,"ready":B}}: the line the page
// shows under the update; the last one at rest is how the update ended.
bool WatchUpdate(JobWatch& watch, std::string_view event) {
  if (JsonField(event, "ready") == "true") {
    watch.update.outcome = DesktopNotice{Bounded(JsonString(event, "status")), ""};
    return false;
  }
  watch.update.outcome.reset();
  const std::optional<uint64_t> percent = Number(event, "percent");
  return percent && SetPercent(watch, *percent);
}

}  // namespace

bool WatchEvent(JobWatch& watch, std::string_view event) {
  if (watch.install.count > 0 && event.starts_with(R"({"install":)")) return WatchInstall(watch, event);
  if (watch.update.count > 0 && event.starts_with(R"({"progress":)")) return WatchUpdate(watch, event);
  return false;
}

std::optional<DesktopNotice> WatchSignal(JobWatch& watch, const JobSignal& signal) {
  JobWatch::Open& open = signal.job == LongJob::Install ? watch.install : watch.update;
  if (signal.phase == JobPhase::Began) {
    if (open.count++ == 0) open.outcome.reset();
    if (!watch.percent) watch.percent = 0;
    return std::nullopt;
  }
  if (open.count == 0 || --open.count > 0) return std::nullopt;
  std::optional<DesktopNotice> outcome = std::move(open.outcome);
  open.outcome.reset();
  if (watch.install.count == 0 && watch.update.count == 0) watch.percent.reset();
  return outcome;
}

std::optional<DesktopNotice> NoticeToShow(JobWatch& watch, const JobSignal& signal, bool inFront, Log& log) {
  std::optional<DesktopNotice> notice = WatchSignal(watch, signal);
  if (!notice) return std::nullopt;
  if (inFront) {
    LogLine(log, "окно впереди, без уведомления: %s", notice->summary.c_str());
    return std::nullopt;
  }
  LogLine(log, "уведомление: %s", notice->summary.c_str());
  return notice;
}

}  // namespace tarn
