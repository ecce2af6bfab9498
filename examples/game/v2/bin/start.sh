#!/bin/sh
# Starts the example game.
echo "Example game, release 2"
