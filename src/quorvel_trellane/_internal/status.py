"""What an HTTP answer record says of its status code: its reason phrase and WSGI status line."""

from __future__ import annotations

from http import HTTPStatus


class StatusLine:
    """For an answer record with a ``code``: its standard reason phrase and status line."""

    __slots__ = ()
    code: int

    @property
    def reason(self) -> str:
        return HTTPStatus(self.code).phrase

    @property
    def status_line(self) -> str:
        """``"401 Unauthorized"``, as WSGI's ``start_response`` takes it."""
        return f"{self.code} {self.reason}"
