#!/bin/sh
# Runs after installation, from its installed place.
echo "post-install ran at $(date)" > "$(dirname "$0")/../post-install.log"
