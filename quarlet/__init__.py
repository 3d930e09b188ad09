"""Read Microsoft ESE (Extensible Storage Engine) database files without the engine.

ESE holds many Windows artefacts: SRUM (SRUDB.dat), Windows Search
(Windows.edb), WebCacheV01.dat, Active Directory (ntds.dit), User Access
Logging (Current.mdb) and more. quarlet opens such a file read-only (it is
mapped read-only and never written), lists its tables, reads records as
dictionaries, describes columns, exports tables as JSON Lines, CSV or Arrow
streams, checks the file's integrity, recovers deleted records and carves
UTF-16LE strings out of page slack. Damaged and dirty files are read as they
are, never repaired.

    >>> from quarlet import EseDatabase
    >>> db = EseDatabase("SRUDB.dat")
    >>> db.get_tables()
    >>> for record in db.iter_table("SruDbIdMapTable", decode=True): ...

`EseDatabase` is the whole reader. The command line is `quarlet` (or
`python -m quarlet`).
"""

from typing import TYPE_CHECKING

from ._quarlet import EseDatabase as EseDatabase
from ._quarlet import __version__ as __version__

if TYPE_CHECKING:  # the dictionaries' shapes exist for type checkers only
    from ._quarlet import ArrowTable as ArrowTable
    from ._quarlet import BadPage as BadPage
    from ._quarlet import CarveHit as CarveHit
    from ._quarlet import CheckReport as CheckReport
    from ._quarlet import ColumnSchema as ColumnSchema
    from ._quarlet import HeaderFacts as HeaderFacts
    from ._quarlet import HeaderFactsText as HeaderFactsText
    from ._quarlet import LogPosition as LogPosition
    from ._quarlet import PageChecks as PageChecks
    from ._quarlet import PageLink as PageLink
    from ._quarlet import PageOwner as PageOwner
    from ._quarlet import RecoveredRecord as RecoveredRecord
    from ._quarlet import TreeCheck as TreeCheck

__all__ = ["EseDatabase", "__version__"]
