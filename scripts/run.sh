#!/usr/bin/env bash
# The main job. Until the example search engine lands, a short tour of the module.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/dev-env.sh"
install_quorbel
cd "$(mktemp -d)"
exec "$QUORBEL_PY" - <<'PY'
import quorbel
print("encode_varint(300) =", quorbel.encode_varint(300).hex(" "))
PY
