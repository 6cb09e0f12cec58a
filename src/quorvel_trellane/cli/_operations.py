"""What an operator loads, printed as shipped: the alert rules and the Grafana dashboard."""

from __future__ import annotations

import argparse
from importlib import resources
from typing import Any, TextIO

__all__ = ["add_operations"]


def _printer(name: str) -> Any:
    def run(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
        out.write(resources.files("quorvel_trellane.observe").joinpath(name).read_text(encoding="utf-8"))
        return 0

    return run


def add_operations(sub: Any) -> None:
    """The ``alerts`` and ``dashboard`` subcommands, on the command's subparsers."""
    p = sub.add_parser(
        "alerts",
        help="print the Prometheus alert rules for the package's metrics",
        description="Print the Prometheus alert rules (a rule file: load it with rule_files, "
        "or as a PrometheusRule's spec). Each alert links to its runbook.",
    )
    p.set_defaults(run=_printer("alerts.yml"))
    p = sub.add_parser(
        "dashboard",
        help="print the Grafana dashboard for the package's metrics",
        description="Print the Grafana dashboard as JSON, to import into Grafana; "
        "it asks for a Prometheus data source.",
    )
    p.set_defaults(run=_printer("dashboard.json"))
