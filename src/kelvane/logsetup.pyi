from collections.abc import Mapping
from logging import Logger
from pathlib import Path

log_dir: Path
log_file: Path
plotting_logger: Logger
fetching_logger: Logger
cleaning_logger: Logger

def _choose_log_dir(os_name: str, environ: Mapping[str, str], home: Path) -> Path: ...
