"""`tallyvox keygen`: a secret-key file loaded or created, its public key
printed."""

from __future__ import annotations

import argparse

import tallyvox
from tallyvox.cli.exit import EXIT_ERROR, EXIT_OK, complain, error_text
from tallyvox.cli.witness_args import vkey_of


def cmd_keygen(args: argparse.Namespace) -> int:
    try:
        keypair = tallyvox.SigningKeypair.load_or_create(args.path)
    except (tallyvox.TallyvoxError, OSError) as exc:
        complain(args.path, error_text(exc))
        return EXIT_ERROR
    print(vkey_of(keypair, args))
    return EXIT_OK
