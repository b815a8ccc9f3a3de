#!/usr/bin/env bash
# The main job: builds the installer, packs the demo payload, runs it under Wine.
echo "The installer executable is not built yet: this command will build, pack and run it once it exists." >&2
exit 1
