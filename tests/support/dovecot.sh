#!/usr/bin/env bash
# A private Dovecot instance in a directory of its own, for tests, benchmarks
# and the demonstration. Never touches the system's own instance.
#
#   dovecot.sh create DIR PORT source|target   lay out DIR (config, passwd, homes)
#   dovecot.sh adduser DIR LOGIN PASSWORD      add a login (user@domain)
#   dovecot.sh start DIR [PORT...]             start on PORT(s) (default: the created one),
#                                              wait until it accepts, print the master's pid
#   dovecot.sh stop DIR                        stop it by its pid and wait for it to end
#   dovecot.sh running DIR                     exit 0 when it runs
#   dovecot.sh maildir DIR LOGIN FOLDER        print the Maildir path of FOLDER (created if missing)
#   dovecot.sh index DIR LOGIN                 make Dovecot index every folder of LOGIN
#   dovecot.sh doveadm DIR ARGS...             run doveadm against the instance
#
# Settings in DIR/extra.conf are included at the end of the configuration.
# A source instance greets with "4D Mail IMAP ready" and offers CRAM-MD5; a
# target offers plain LOGIN. Both keep Maildir with "/" as the separator.
set -euo pipefail

die() { echo "dovecot.sh: $*" >&2; exit 1; }
[ $# -ge 2 ] || die "usage: dovecot.sh create|adduser|start|stop|running|maildir|index|doveadm DIR ..."
cmd=$1; dir=$2; shift 2

mail_ids() {
  if [ "$(id -u)" -eq 0 ]; then echo "65534 65534"; else echo "$(id -u) $(id -g)"; fi
}

write_config() {
  local ports=$1 role port listeners=""
  role=$(cat "$dir/role")
  for port in $ports; do
    listeners+="  inet_listener imap_$port {
    address = 127.0.0.1
    port = $port
  }
"
  done
  {
    echo "instance_name = zt$(basename "$dir" | tr -cd 'a-zA-Z0-9' | tail -c 20)"
    echo "base_dir = $dir/run"
    echo "state_dir = $dir/state"
    echo "log_path = $dir/dovecot.log"
    echo "info_log_path = $dir/dovecot.log"
    echo "protocols = imap"
    echo "listen = 127.0.0.1"
    echo "ssl = no"
    echo "disable_plaintext_auth = no"
    if [ "$role" = source ]; then
      echo "auth_mechanisms = cram-md5 plain login"
      echo "login_greeting = 4D Mail IMAP ready"
    else
      echo "auth_mechanisms = plain login"
    fi
    if [ "$(id -u)" -eq 0 ]; then
      echo "default_internal_user = dovecot"
      echo "default_login_user = dovenull"
    else
      echo "default_internal_user = $(id -un)"
      echo "default_login_user = $(id -un)"
      echo "default_internal_group = $(id -gn)"
    fi
    echo "mail_location = maildir:~/Maildir:LAYOUT=fs:INBOX=~/Maildir/INBOX"
    echo "mail_fsync = never"
    echo "imap_max_line_length = 1M"
    echo "namespace inbox {"
    echo "  inbox = yes"
    echo "  separator = /"
    echo "}"
    echo "passdb {"
    echo "  driver = passwd-file"
    echo "  args = scheme=PLAIN username_format=%u $dir/passwd"
    echo "}"
    echo "userdb {"
    echo "  driver = passwd-file"
    echo "  args = username_format=%u $dir/passwd"
    echo "}"
    echo "service imap-login {"
    printf '%s' "$listeners"
    echo "  inet_listener imap {"
    echo "    port = 0"
    echo "  }"
    echo "  inet_listener imaps {"
    echo "    port = 0"
    echo "  }"
    [ "$(id -u)" -ne 0 ] && echo "  chroot ="
    echo "}"
    [ "$(id -u)" -ne 0 ] && printf 'service anvil {\n  chroot =\n}\n'
    echo "service imap {"
    echo "  process_limit = 64"
    echo "}"
    # Settings a test adds for itself (quota, limits).
    if [ -f "$dir/extra.conf" ]; then echo "!include $dir/extra.conf"; fi
  } > "$dir/dovecot.conf"
}

wait_port() {
  local port=$1 i
  for i in $(seq 1 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

master_pid() { cat "$dir/run/master.pid" 2>/dev/null || true; }

# Some process of the group led by $1 still runs (zombies waiting for their
# reaper do not count: they hold no port).
alive() {
  ps -o stat= -g "$1" 2>/dev/null | grep -qv '^Z'
}

case "$cmd" in
  create)
    [ $# -eq 2 ] || die "create DIR PORT source|target"
    port=$1; role=$2
    case "$role" in source|target) ;; *) die "role must be source or target";; esac
    mkdir -p "$dir/run" "$dir/state" "$dir/home"
    dir=$(cd "$dir" && pwd)
    echo "$role" > "$dir/role"
    echo "$port" > "$dir/ports"
    : > "$dir/passwd"
    if [ "$(id -u)" -eq 0 ]; then
      chgrp dovecot "$dir/passwd"; chmod 640 "$dir/passwd"
      chmod 755 "$dir" "$dir/home"
    fi
    write_config "$port"
    ;;
  adduser)
    [ $# -eq 2 ] || die "adduser DIR LOGIN PASSWORD"
    login=$1; pass=$2
    read -r uid gid < <(mail_ids)
    home="$dir/home/$login"
    mkdir -p "$home/Maildir/INBOX/cur" "$home/Maildir/INBOX/new" "$home/Maildir/INBOX/tmp"
    chown -R "$uid:$gid" "$home"
    printf '%s:{PLAIN}%s:%s:%s::%s\n' "$login" "$pass" "$uid" "$gid" "$home" >> "$dir/passwd"
    ;;
  start)
    if [ $# -gt 0 ]; then echo "$*" > "$dir/ports"; fi
    ports=$(cat "$dir/ports")
    write_config "$ports"
    pid=$(master_pid)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then die "already running ($pid)"; fi
    dovecot -c "$dir/dovecot.conf" </dev/null >/dev/null 2>&1 || { tail -5 "$dir/dovecot.log" >&2 2>/dev/null; die "dovecot did not start"; }
    for port in $ports; do
      wait_port "$port" || { tail -5 "$dir/dovecot.log" >&2 2>/dev/null; die "port $port does not accept"; }
    done
    master_pid
    ;;
  stop)
    pid=$(master_pid)
    [ -n "$pid" ] || exit 0
    # The master leads a process group of its own: end the whole group by its id.
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || { rm -f "$dir/run/master.pid"; exit 0; }
    # The master lingers for a second or two while its children go; what was
    # stored is on disk already, so the group is ended after a short grace.
    for i in $(seq 1 30); do
      alive "$pid" || break
      sleep 0.01
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
    for i in $(seq 1 300); do
      alive "$pid" || break
      sleep 0.01
    done
    rm -f "$dir/run/master.pid"
    ;;
  running)
    pid=$(master_pid)
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
    ;;
  maildir)
    [ $# -eq 2 ] || die "maildir DIR LOGIN FOLDER"
    login=$1; folder=$2
    doveadm -c "$dir/dovecot.conf" mailbox create -u "$login" "$folder" 2>/dev/null || true
    path=$(doveadm -c "$dir/dovecot.conf" mailbox path -u "$login" "$folder")
    read -r uid gid < <(mail_ids)
    mkdir -p "$path/cur" "$path/new" "$path/tmp"
    chown "$uid:$gid" "$path" "$path/cur" "$path/new" "$path/tmp"
    echo "$path"
    ;;
  index)
    [ $# -eq 1 ] || die "index DIR LOGIN"
    doveadm -c "$dir/dovecot.conf" force-resync -u "$1" '*' >/dev/null
    doveadm -c "$dir/dovecot.conf" mailbox status -u "$1" messages '*' >/dev/null
    ;;
  doveadm)
    exec doveadm -c "$dir/dovecot.conf" "$@"
    ;;
  *) die "unknown command $cmd";;
esac
