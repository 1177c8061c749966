"""An index over HTTP: a search page and a JSON API (``minisearch serve``).

:mod:`~minisearch.web.payload` shapes a page of results and a stored
document as the API's JSON, with nothing beyond the standard library (the
command line's ``search --json`` prints the same); :mod:`~minisearch.web.live`
keeps the index a server answers from current across commits;
:mod:`~minisearch.web.app` is the ASGI application (FastAPI, Jinja2
templates) and :mod:`~minisearch.web.server` runs it under uvicorn.  The last
two need the ``serve`` extra: ``pip install 'minisearch[serve]'``.
"""
