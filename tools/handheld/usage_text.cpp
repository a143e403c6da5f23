// The handheld tool's usage texts, kept apart from the code that prints them.
#include "usage_text.h"

namespace skiff::handheld {

namespace {

constexpr char kUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] COMMAND [ARGS]

A simulated handheld: attaches to the desktop program's USB-link socket, lets the
desktop open the application channel and sends it request packets. The desktop
program (skiffhouse) must be running.

Commands:
  fetch URL [FETCH OPTIONS]  fetch an http:// or https:// URL through the desktop
  ping [TEXT]                send a Ping and print the Pong's text
  log TEXT                   write TEXT into the desktop's activity log
  attach                     stay attached until SIGINT or SIGTERM
  script [FILE]              send raw packets from FILE (or standard input), one per
                             line as `TYPE SEQ [text:...|hex:...]`, and print each reply
  help [COMMAND]             show this text, or a command's own

Options (before or after the command):
  --socket PATH          the desktop's socket (default: $SKIFFHOUSE_USB_SOCKET, else
                         $XDG_RUNTIME_DIR/skiffhouse/usb.sock, else
                         /tmp/skiffhouse-<uid>/usb.sock)
  --port N               attach over TCP to 127.0.0.1:N instead (default on Windows,
                         and wherever $SKIFFHOUSE_USB_PORT is set: that port, else 47147)
  --pin N                the handheld's PIN, hex (0x2a0f) or decimal (property BBPIN)
  --property NAME=VALUE  an extra property; integers are sent as numbers, the rest as
                         text (repeatable); the handheld sends Name=skiffhouse-handheld
                         unless a Name is given
  --password P           lock the handheld with password P
  --channel NAME         the application channel served (default SkiffhouseUSB)
  --drop-reply N         throw away the Nth reply, to make the handheld ask again
  --timeout MS           time to wait for a reply before asking again (default 10000)
  --tries N              sends of one request before giving up (default 6)
  --open-timeout MS      time to wait for the desktop to open the channel (default: no
                         limit)
  -v, --verbose          say what happens on the link
  -h, --help             show this text (after a command: that command's usage)

Exit status: 0 done, 1 usage or local error, 2 link failure (no desktop, channel
refused or closed, no reply), 3 an Error reply (its code and text are on standard
error), 4 wiped after the last wrong password, 22 HTTP failure with --fail.
)";

constexpr char kFetchUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] fetch URL [FETCH OPTIONS]

Fetches an http:// or https:// URL through the desktop program and writes the body to
standard output or FILE. A URL with a blank or a control character is refused: write
a blank as %20.

Fetch options:
  -X, --request VERB       request verb (default GET, or POST with -d)
  -H, --header 'Name: v'   an extra request header (repeatable)
  -d, --data DATA|@FILE    request body, at most 4000 bytes
  -A, --user-agent AGENT   user agent
  -i, --include            write the status line and headers before the body
  -o, --output FILE        write the body to FILE (checked before anything is sent;
                           "-" is standard output)
      --keep-partial       keep what arrived in FILE when the fetch fails (by default
                           FILE is left as it was)
      --fail               exit with status 22 when the server answers 400 or above
      --progress           show the progress line even when standard error is not a
                           terminal
  -s, --silent             no progress line

The progress line (on a terminal, when the body does not go to that terminal) shows a
bar, the percentage, the size and the rate when the server gives the size, and the
bytes so far and the rate when it does not.
)";

constexpr char kPingUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] ping [TEXT]

Sends a Ping carrying TEXT (default "ping") and prints the text of the desktop's Pong.
)";

constexpr char kLogUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] log TEXT

Writes TEXT into the desktop's activity log (a LogMessage) and prints the reply.
)";

constexpr char kAttachUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] attach

Attaches and stays attached, answering the desktop's channel opens and password
challenges, until SIGINT or SIGTERM.
)";

constexpr char kScriptUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] script [FILE]

Sends raw packets from FILE (or standard input, also as "-"), one per line as
`TYPE SEQ [text:...|hex:...]` (TYPE a name such as Ping or a number; the text takes
\r \n \t \0 \\ \xHH), and prints each reply; blank lines and lines starting with #
are skipped.
)";

constexpr char kHelpUsage[] = R"(Usage: skiffhouse-handheld help [COMMAND]

Shows the general usage, or COMMAND's own.
)";

}  // namespace

const char* GeneralUsage() {
  return kUsage;
}

const char* CommandUsage(const std::string& command) {
  if (command == "fetch") return kFetchUsage;
  if (command == "ping") return kPingUsage;
  if (command == "log") return kLogUsage;
  if (command == "attach") return kAttachUsage;
  if (command == "script") return kScriptUsage;
  if (command == "help") return kHelpUsage;
  return nullptr;
}

}  // namespace skiff::handheld
