// The INI profile: every read takes the file as it is now, every write changes one entry
// and replaces the whole file atomically, keeping all the other lines as they were.
#include "platform/posix/app/ini_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/posix/app/xdg_paths.h"

namespace skiff {

namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;  // a settings file this big is not ours

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

enum class LineKind { Blank, Comment, Section, Entry, Damaged };

struct ParsedLine {
  LineKind kind;
  std::string_view section;  // Section
  std::string_view name;     // Entry
  std::string_view value;    // Entry: everything after the first '=', verbatim
};

bool HasControlCharacter(std::string_view line) {
  for (char c : line)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return true;
  return false;
}

ParsedLine ParseLine(std::string_view line) {
  // Nobody writes control characters into settings by hand: such a line is damage.
  if (HasControlCharacter(line)) return {LineKind::Damaged, {}, {}, {}};
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty()) return {LineKind::Blank, {}, {}, {}};
  if (trimmed.front() == ';' || trimmed.front() == '#') return {LineKind::Comment, {}, {}, {}};
  if (trimmed.front() == '[') {
    if (trimmed.back() != ']' || trimmed.size() < 3) return {LineKind::Damaged, {}, {}, {}};
    return {LineKind::Section, Trim(trimmed.substr(1, trimmed.size() - 2)), {}, {}};
  }
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return {LineKind::Damaged, {}, {}, {}};
  const std::string_view name = Trim(line.substr(0, equals));
  if (name.empty()) return {LineKind::Damaged, {}, {}, {}};
  return {LineKind::Entry, {}, name, line.substr(equals + 1)};
}

bool IsStorableText(std::string_view text) {
  return !HasControlCharacter(text);
}

bool IsStorableName(std::string_view name) {
  return !name.empty() && IsStorableText(name) && name.find('=') == std::string_view::npos &&
         name.front() != '[' && name.front() != ';' && name.front() != '#' &&
         Trim(name).size() == name.size();
}

bool IsStorableSection(std::string_view section) {
  return !section.empty() && IsStorableText(section) && section.find(']') == std::string_view::npos &&
         Trim(section).size() == section.size();
}

// Where an entry is, or where it would go.
struct Place {
  std::optional<std::size_t> entry;       // the line of the entry (first one wins)
  std::optional<std::size_t> sectionEnd;  // one past the section's last non-blank line
};

Place Find(const std::vector<std::string>& lines, std::string_view section, std::string_view name) {
  Place place;
  bool inSection = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ParsedLine parsed = ParseLine(lines[i]);
    if (parsed.kind == LineKind::Section) {
      inSection = EqualsIgnoringCase(parsed.section, section);
      if (inSection && !place.sectionEnd) place.sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    if (parsed.kind != LineKind::Blank) {
      // Only the first section of that name grows; later copies are read but not extended.
      if (place.sectionEnd && *place.sectionEnd <= i && !place.entry) place.sectionEnd = i + 1;
    }
    if (parsed.kind == LineKind::Entry && !place.entry && EqualsIgnoringCase(parsed.name, name))
      place.entry = i;
  }
  return place;
}

}  // namespace

CIniProfile::CIniProfile(std::string path, ILogSink* problems)
    : m_path(std::move(path)), m_problems(problems) {}

void CIniProfile::Report(const std::string& problem) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (problem == m_lastProblem) return;
    m_lastProblem = problem;
  }
  if (m_problems != nullptr) m_problems->Log(problem);
}

void CIniProfile::ClearProblem() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lastProblem.clear();
}

CIniProfile::Document CIniProfile::Load() {
  Document document;
  if (m_path.empty()) {
    document.usable = false;
    Report("No place for the settings file (neither XDG_CONFIG_HOME nor HOME is set); using defaults");
    return document;
  }
  const int fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {  // never started: everything has its default
      Report("The settings file " + m_path + " does not exist yet; using defaults");
      return document;
    }
    document.usable = false;
    Report("Cannot read the settings file " + m_path + ": " + std::strerror(errno) + "; using defaults");
    return document;
  }
  struct stat st {};
  std::string content;
  bool readable =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= kMaxFileBytes;
  int readError = readable ? 0 : EINVAL;
  while (readable) {
    char buffer[8192];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readError = errno;
      readable = false;
      break;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    if (content.size() > kMaxFileBytes) {
      readError = EFBIG;
      readable = false;
    }
  }
  close(fd);
  if (!readable) {
    document.usable = false;
    Report("Cannot read the settings file " + m_path + ": " +
           (readError == EINVAL ? std::string("not a regular file of settings size")
                                : std::strerror(readError)) +
           "; using defaults");
    return document;
  }

  document.lines = SplitSettingsLines(content);

  std::size_t damaged = 0, firstDamaged = 0;
  bool inSection = false;
  for (std::size_t i = 0; i < document.lines.size(); ++i) {
    const ParsedLine parsed = ParseLine(document.lines[i]);
    if (parsed.kind == LineKind::Section) inSection = true;
    const bool bad = parsed.kind == LineKind::Damaged || (parsed.kind == LineKind::Entry && !inSection);
    if (bad && damaged++ == 0) firstDamaged = i + 1;
  }
  if (damaged)
    Report("The settings file " + m_path + " is damaged (" + std::to_string(damaged) +
           " line(s) not understood, the first is line " + std::to_string(firstDamaged) +
           "); those lines are ignored and kept as they are");
  else
    ClearProblem();
  return document;
}

std::vector<std::string> SplitSettingsLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    auto end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool CIniProfile::Store(const Document& document) {
  const auto slash = m_path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : m_path.substr(0, slash);
  if (!MakeFolders(folder, 0700)) {
    Report("Cannot write the settings file " + m_path +
           ": cannot create its folder: " + std::strerror(errno));
    return false;
  }
  // A folder made here is private (0700). One that already exists is left as it is: it
  // may be shared (a profile path in /tmp must never close /tmp to other users).

  std::string content;
  for (const auto& line : document.lines) {
    content += line;
    // Reading drops one CR before each LF: a line that still ends in CR had two, and
    // keeps them both, or the next read would see a different line.
    if (!line.empty() && line.back() == '\r') content += '\r';
    content += '\n';
  }
  std::string error;
  if (!WriteFileAtomically(m_path, content, 0600, error)) {
    Report("Cannot write the settings file " + m_path + ": " + error);
    return false;
  }
  return true;
}

std::string CIniProfile::GetString(const std::string& section, const std::string& name,
                                   const std::string& defaultValue) {
  std::unique_lock<std::mutex> file(m_fileMutex);
  const Document document = Load();
  const Place place = Find(document.lines, section, name);
  if (!place.entry) return defaultValue;
  return std::string(ParseLine(document.lines[*place.entry]).value);
}

bool CIniProfile::WriteString(const std::string& section, const std::string& name, const std::string& value) {
  if (!IsStorableSection(section) || !IsStorableName(name) || !IsStorableText(value)) {
    Report("Cannot store the setting " + section + "/" + name +
           ": it holds a line break or a reserved character");
    return false;
  }
  std::unique_lock<std::mutex> file(m_fileMutex);
  Document document = Load();
  if (!document.usable) {
    // Writing over a file that could not be read would lose what it holds.
    Report("The settings file " + m_path + " was not written, so that what it holds is not lost");
    return false;
  }
  const std::string line = name + "=" + value;
  const Place place = Find(document.lines, section, name);
  if (place.entry) {
    if (document.lines[*place.entry] == line) return true;
    document.lines[*place.entry] = line;
  } else if (place.sectionEnd) {
    document.lines.insert(document.lines.begin() + static_cast<std::ptrdiff_t>(*place.sectionEnd), line);
  } else {
    if (!document.lines.empty() && !document.lines.back().empty()) document.lines.emplace_back();
    document.lines.push_back("[" + section + "]");
    document.lines.push_back(line);
  }
  return Store(document);
}

bool CIniProfile::DeleteEntry(const std::string& section, const std::string& name) {
  std::unique_lock<std::mutex> file(m_fileMutex);
  Document document = Load();
  if (!document.usable) return false;
  bool found = false;
  for (;;) {
    const Place place = Find(document.lines, section, name);
    if (!place.entry) break;
    document.lines.erase(document.lines.begin() + static_cast<std::ptrdiff_t>(*place.entry));
    found = true;
  }
  return !found || Store(document);
}

}  // namespace skiff
