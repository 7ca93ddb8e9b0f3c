# The PostgreSQL 15 server of the test bed, run by the postgres account.
#
# A fresh cluster is made for every sandbox: its data directory is
# $HX_VOLUME_DATA_MNT/pgdata when the LVM piece provides that volume, else
# $HX_SANDBOX_DIR/pg/data; its one tablespace ts1 lies in $HX_VOLUME_TS_MNT/ts1,
# else in $HX_SANDBOX_DIR/pg/ts1. The server listens only on 127.0.0.1 (a free
# port) and on a unix socket inside the sandbox, runs with wal_level replica
# and archive_mode on, archives finished WAL files into a directory owned by
# postgres and restores from it. The module's user (a superuser) logs in over
# TCP with a SCRAM password; the superuser postgres logs in over the socket
# without one. The module configuration file is written for this server.
#
# Exports:
#   PGHOST, PGPORT          the socket directory and port (psql -U postgres works as is)
#   PGUSER, PGDATABASE      postgres, postgres
#   HX_PG_BIN               /usr/lib/postgresql/15/bin
#   HX_PG_DATA              the data directory
#   HX_PG_TBLSPC            the location of tablespace ts1
#   HX_PG_ARCHIVE           the WAL archive directory (archive_catalog of the module)
#   HX_PG_ARCHIVE_HOLD      while a file of this name exists, the archive command
#                           fails, so WAL files stay unarchived (the server retries);
#                           while it holds a number, each WAL file is archived
#                           that many seconds late instead
#   HX_PG_LOG               the server's log file (connections are logged)
#   HX_PG_PORT_TCP          the port again (PGPORT may be changed by a test)
#   HX_PG_USER, HX_PG_PASSWORD  the module's database user and password
#   HX_PG_CONF              the module configuration file
#                           /opt/halvex/etc/hx_module_pg_ostrel.conf
# testbed/pg drives the server (psql, stop, start, restart with settings,
# rewriting the module configuration, making the cluster anew with other
# initdb options); for the last it uses hx_pg_initdb, hx_pg_write_settings
# and hx_pg_create_roles below.

hx_pg_as_postgres() {
  (cd / && setpriv --reuid=postgres --regid=postgres --init-groups --reset-env "$@")
}

# A TCP port on 127.0.0.1 that nobody listens on at this moment.
hx_pg_free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()'
}

# Makes a directory traversable by postgres (search permission for others),
# for the parents of the server's directories.
hx_pg_traversable() {
  [ -d "$1" ] && chmod o+x "$1"
}

# Makes the cluster in the empty $HX_PG_DATA, with further initdb options if
# given (--wal-segsize=64, say), and its pg_hba.conf.
hx_pg_initdb() {
  local w="$HX_SANDBOX_DIR"
  if ! hx_pg_as_postgres "$HX_PG_BIN/initdb" -N -D "$HX_PG_DATA" -U postgres -E UTF8 --locale=C \
    --auth-local=trust --auth-host=scram-sha-256 "$@" >"$w/pg/initdb.log" 2>&1; then
    sandbox_log "postgres: initdb failed:"
    cat "$w/pg/initdb.log" >&2
    return 1
  fi
  cat >"$HX_PG_DATA/pg_hba.conf" <<EOF
local   all             all                                     trust
host    all             all             127.0.0.1/32            scram-sha-256
host    replication     all             127.0.0.1/32            scram-sha-256
EOF
}

# Appends the test bed's settings, the server listening on port $1, to its
# postgresql.conf.
hx_pg_write_settings() {
  cat >>"$HX_PG_DATA/postgresql.conf" <<EOF

# Test bed settings
listen_addresses = '127.0.0.1'
port = $1
unix_socket_directories = '$PGHOST'
shared_buffers = 32MB
wal_level = replica
archive_mode = on
archive_command = '$HX_SANDBOX_DIR/pg/bin/archive_wal "%p" "%f"'
restore_command = 'cp "$HX_PG_ARCHIVE/%f" "%p"'
log_connections = on
# Backup mode begins with a spread checkpoint paced over this share of
# checkpoint_timeout (5 minutes): a small share keeps each full backup of the
# tests within seconds, whatever the load.
checkpoint_completion_target = 0.02
EOF
}

# The module's role and the tablespace ts1, in the running server.
hx_pg_create_roles() {
  if ! "$HX_TESTBED_DIR/pg" psql -q >"$HX_SANDBOX_DIR/pg/setup.log" 2>&1 <<EOF; then
CREATE ROLE $HX_PG_USER LOGIN SUPERUSER PASSWORD '$HX_PG_PASSWORD';
CREATE TABLESPACE ts1 LOCATION '$HX_PG_TBLSPC';
EOF
    sandbox_log "postgres: setting up roles and tablespace failed:"
    cat "$HX_SANDBOX_DIR/pg/setup.log" >&2
    return 1
  fi
}

setup_postgres() {
  local w="$HX_SANDBOX_DIR"
  export HX_PG_BIN=/usr/lib/postgresql/15/bin
  [ -x "$HX_PG_BIN/initdb" ] || {
    sandbox_log "postgres: $HX_PG_BIN/initdb not found (install postgresql-15)"
    return 1
  }
  id postgres >/dev/null 2>&1 || {
    sandbox_log "postgres: no postgres account"
    return 1
  }
  # The module runs the server's commands as "sudo -iu postgres", which needs
  # the account's home directory, as on any database host.
  local home
  home="$(getent passwd postgres | cut -d: -f6)"
  [ -d "$home" ] || install -d -o postgres -g postgres -m 755 "$home"

  mkdir -p "$w/pg"
  chmod 755 "$w/pg"
  if [ -n "${HX_VOLUME_DATA_MNT:-}" ]; then
    hx_pg_traversable "$HX_VOLUME_DATA_MNT"
    export HX_PG_DATA="$HX_VOLUME_DATA_MNT/pgdata"
  else
    export HX_PG_DATA="$w/pg/data"
  fi
  if [ -n "${HX_VOLUME_TS_MNT:-}" ]; then
    hx_pg_traversable "$HX_VOLUME_TS_MNT"
    export HX_PG_TBLSPC="$HX_VOLUME_TS_MNT/ts1"
  else
    export HX_PG_TBLSPC="$w/pg/ts1"
  fi
  export HX_PG_ARCHIVE="$w/wal_archive"
  export HX_PG_ARCHIVE_HOLD="$w/pg/archive_hold"
  export HX_PG_LOG="$w/pg/server.log"
  export PGHOST="$w/pg/run"
  export PGUSER=postgres
  export PGDATABASE=postgres
  export HX_PG_USER=hxbackup
  export HX_PG_PASSWORD=hx-test-pass
  export HX_PG_CONF=/opt/halvex/etc/hx_module_pg_ostrel.conf

  local incoming="$w/wal_archive.incoming"
  mkdir -p "$HX_PG_DATA" "$HX_PG_TBLSPC" "$HX_PG_ARCHIVE" "$incoming" "$PGHOST" "$w/pg/bin"
  chown postgres:postgres "$HX_PG_DATA" "$HX_PG_TBLSPC" "$HX_PG_ARCHIVE" "$incoming" "$PGHOST"
  chmod 700 "$HX_PG_DATA" "$HX_PG_TBLSPC"
  chmod 750 "$HX_PG_ARCHIVE" "$incoming"
  chmod 755 "$PGHOST"
  touch "$HX_PG_LOG"
  chown postgres:postgres "$HX_PG_LOG"

  # The archive command: a finished WAL file is copied under a temporary name
  # beside the archive and renamed into it, so a reader never sees a partly
  # written file. A file already archived with the same content counts as
  # done; with other content it is an error (never overwrite the archive).
  local archive_wal="$w/pg/bin/archive_wal"
  cat >"$archive_wal" <<EOF
#!/bin/sh
# archive_wal PATH NAME
set -e
if [ -e '$HX_PG_ARCHIVE_HOLD' ]; then
  [ -s '$HX_PG_ARCHIVE_HOLD' ] || exit 1
  sleep "\$(cat '$HX_PG_ARCHIVE_HOLD')"
fi
dest='$HX_PG_ARCHIVE'/"\$2"
if [ -e "\$dest" ]; then
  cmp -s "\$1" "\$dest" && exit 0
  echo "archive_wal: \$dest already exists with other content" >&2
  exit 1
fi
tmp='$incoming'/"\$2.\$\$"
cp "\$1" "\$tmp"
mv -f "\$tmp" "\$dest"
EOF
  chmod 755 "$archive_wal"

  hx_pg_initdb || return 1
  local port
  port="$(hx_pg_free_port)"
  hx_pg_write_settings "$port"

  # Another process may take the port between the probe and the start: try
  # a few ports.
  local attempt started=0
  for attempt in 1 2 3 4 5; do
    export PGPORT="$port"
    if "$HX_TESTBED_DIR/pg" start; then
      started=1
      break
    fi
    "$HX_TESTBED_DIR/pg" stop || true
    port="$(hx_pg_free_port)"
    sed -i "s/^port = .*/port = $port/" "$HX_PG_DATA/postgresql.conf"
  done
  if [ "$started" != 1 ]; then
    sandbox_log "postgres: the server did not start"
    return 1
  fi
  export HX_PG_PORT_TCP="$port"

  hx_pg_create_roles || return 1

  cat >"$HX_PG_CONF" <<EOF
username $HX_PG_USER
password $HX_PG_PASSWORD
port $port
host 127.0.0.1
archive_catalog $HX_PG_ARCHIVE
pg_ctl $HX_PG_BIN/pg_ctl
postgresql_admin postgres
EOF
  chmod 600 "$HX_PG_CONF"
}

teardown_postgres() {
  [ -n "${HX_PG_DATA:-}" ] || return 0
  "$HX_TESTBED_DIR/pg" stop
}
