"""The auditor's report: one self-contained HTML page for one ledger or many.

Needs Jinja2 (``pip install 'tallyvox[report]'``)."""
