# What the shell tests read of a tarn-headless run that adds an account,
# asks for the news and installs (source it after defining fail()):
#   unreachable EVENTS CASE  fails unless the events read as a service that
#                            could not be reached: a refused login, no news,
#                            the install's connection error, no account
#   sums FOLDER              every file's digest, the version file left out
#   logs FILE...             launcher.log files as UTF-8 lines

unreachable() {  # events, case
  grep -qF '"text":"Неверный логин или пароль"' <<<"$1" || fail "$2: no refusal toast: $1"
  grep -qF '{"news":[]}' <<<"$1" || fail "$2: news arrived: $1"
  grep -qF '"error":"Не удалось связаться с сервером обновлений.' <<<"$1" || fail "$2: no install error: $1"
  grep -qF 'Аккаунт добавлен' <<<"$1" && fail "$2: an account was added"
  return 0
}

sums() { (cd "$1" && find . -type f ! -path ./config/element/version.sw -print0 | sort -z | xargs -0 sha256sum); }

logs() { for f in "$@"; do iconv -f UTF-16LE -t UTF-8 "$f" | sed 's/^\xEF\xBB\xBF//; s/\r$//'; done; }
