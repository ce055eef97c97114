# The sample WireGuard configuration that the demo and the application test connect with; sourced,
# not run. The tunnel never carries a packet: its addresses are configuration only and the
# endpoint is a documentation address.
#
#   write_sample_wireguard_config FILE [KEEPALIVE]
#
# writes FILE (readable by its owner only) with a throwaway private key, which it also leaves in
# `sample_private_key` so that callers can check that it was never logged or printed.

# A fresh key: wg's when the tools are there (never the all-zero key, which the tunnel refuses),
# otherwise 32 random bytes.
sample_wireguard_key() {
  if command -v wg >/dev/null 2>&1; then
    wg genkey
  else
    head -c 32 /dev/urandom | base64
  fi
}

write_sample_wireguard_config() {
  local file=${1:?write_sample_wireguard_config needs a file} keepalive=${2:-} peer
  sample_private_key=$(sample_wireguard_key)
  # Any valid key stands for the peer's public key: nothing ever reaches the peer.
  peer=$(sample_wireguard_key)
  (
    umask 077
    cat >"$file" <<CONF
[Interface]
PrivateKey = $sample_private_key
Address = 10.77.0.2/32

[Peer]
PublicKey = $peer
AllowedIPs = 10.77.1.0/24
Endpoint = 192.0.2.7:51820
CONF
    if [ -n "$keepalive" ]; then
      echo "PersistentKeepalive = $keepalive" >>"$file"
    fi
  )
}
