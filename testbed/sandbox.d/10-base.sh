# Base of the test bed: a private /dev (with /dev/mapper, loop nodes and its
# own /dev/shm), the /opt/halvex tree, and the stand-ins of platform tools.
#
# Exports: HX_STANDIN_LOG_DIR (argv logs of the stand-ins), HX_MEDIA_DIR
# (archives and metas of the archiver stand-in).

setup_base() {
  local w="$HX_SANDBOX_DIR"

  # Private /dev: the device nodes of the real one, loop nodes, /dev/mapper.
  mkdir -p "$w/dev"
  mount -t tmpfs -o mode=755 hx-dev "$w/dev"
  local f
  for f in /dev/*; do
    [ -d "$f" ] && [ ! -L "$f" ] && continue
    cp -a "$f" "$w/dev/" 2>/dev/null || true
  done
  local i
  for i in $(seq 0 127); do
    [ -e "$w/dev/loop$i" ] || mknod -m 660 "$w/dev/loop$i" b 7 "$i"
  done
  mkdir -p "$w/dev/pts" "$w/dev/shm" "$w/dev/mapper"
  mount --bind /dev/pts "$w/dev/pts"
  mount -t tmpfs -o mode=1777 hx-shm "$w/dev/shm"
  mount --rbind "$w/dev" /dev

  # /opt with the product's tree.
  mkdir -p "$w/opt"
  mount --bind "$w/opt" /opt
  mkdir -p /opt/halvex/bin /opt/halvex/etc /opt/halvex/log /opt/halvex/keys /opt/halvex/scripts \
    /opt/halvex/var/tasks
  echo "master key of the test bed" >/opt/halvex/keys/master-key
  echo "secret key of the test bed" >/opt/halvex/keys/secret-key.pem
  chmod 600 /opt/halvex/keys/*
  if [ -e "$HX_TESTBED_DIR/standins/hxfd" ]; then
    install -m 755 "$HX_TESTBED_DIR/standins/hxfd" /opt/halvex/bin/hxfd
  fi

  export HX_STANDIN_LOG_DIR="$w/logs"
  export HX_MEDIA_DIR="$w/media"
  mkdir -p "$HX_STANDIN_LOG_DIR" "$HX_MEDIA_DIR"

  # Stand-ins in front of /usr/sbin (/sbin is a link to it) and over single
  # programs of /usr/bin.
  mkdir -p "$w/sbin"
  for f in "$HX_TESTBED_DIR"/standins/sbin/*; do
    [ -e "$f" ] && install -m 755 "$f" "$w/sbin/"
  done
  mount -t overlay hx-sbin -o "lowerdir=$w/sbin:/usr/sbin" /usr/sbin
  for f in "$HX_TESTBED_DIR"/standins/bin/*; do
    [ -e "$f" ] || continue
    [ -e "/usr/bin/$(basename "$f")" ] || continue
    install -m 755 "$f" "$w/bin-$(basename "$f")"
    mount --bind "$w/bin-$(basename "$f")" "/usr/bin/$(basename "$f")"
  done
}
