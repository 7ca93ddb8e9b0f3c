# A second host for the remote archiver road, brought up on demand: a test
# that needs it runs "$HX_TESTBED_DIR/remote-host up" (see that tool); every
# other sandbox only gets the variables below. The teardown brings the host
# down when it was up.
#
# Exports:
#   HX_REMOTE_HOST        hx-remote, the host's name (the sandbox's /etc/hosts
#                         names its address once it is up)
#   HX_REMOTE_DIR         the host's state and trees as the sandbox sees them:
#                         tmp/ is its /tmp, opt/ its /opt, home/ its /root
#   HX_REMOTE_SHARED      a directory that both hosts see at this same path
#   HX_REMOTE_SSHD_LOG    the log of the host's sshd
#   HX_REMOTE_HXFD_ARGV   the argv log of the archiver stand-in on the host

setup_ssh() {
  export HX_REMOTE_HOST=hx-remote
  export HX_REMOTE_DIR="$HX_SANDBOX_DIR/remote"
  export HX_REMOTE_SHARED="$HX_SANDBOX_DIR/shared"
  export HX_REMOTE_SSHD_LOG="$HX_REMOTE_DIR/log/sshd.log"
  export HX_REMOTE_HXFD_ARGV="$HX_REMOTE_DIR/opt/halvex/log/standin/hxfd.argv"
  mkdir -p "$HX_REMOTE_SHARED"
}

teardown_ssh() {
  [ -d "$HX_REMOTE_DIR/state" ] || return 0
  "$HX_TESTBED_DIR/remote-host" down
}
