"""Check a built wheel and sdist as a package index and a user would see them.

    python scripts/check_wheel.py dist/orvane-*.whl dist/orvane-*.tar.gz

Prints the wheel's tag and size, and fails (exit 1, one line per fault) when the wheel
holds a test-only module, lacks a module built for the wheel's interpreter, a stub, the
bundled images or the LICENSE, needs a newer glibc than manylinux_2_28 allows, has
metadata without classifiers, project URLs or a readme that renders on its own (images
at relative paths), or a version other than the package's ``__version__``.
"""

import email.parser
import re
import sys
import tarfile
import zipfile
from pathlib import Path

MODULES = ["trialgrid", "medical", "annotix", "instances"]
IMAGES = ["cat.jpg", "ascent.jpg", "blackcurrant.jpg", "bricks.jpg", "segs.jpg"]
TEST_ONLY = "_runtime_probe"
# ![text](target) and <img src="target"> whose target is not an absolute http(s) address.
RELATIVE_IMAGE = re.compile(r"!\[[^\]]*\]\((?!https?://)([^)]*)\)|<img[^>]*src=\"(?!https?://)")


def wheel_faults(path, python_tag):
    """`python_tag` is the wheel's interpreter tag ("cp314"), whose modules it must hold."""
    faults = []
    abi = f"cpython-{python_tag.removeprefix('cp')}"
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        metadata = email.parser.Parser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())
        init = wheel.read("orvane/__init__.py").decode()
    faults += [f"test-only file in the wheel: {n}" for n in names if TEST_ONLY in n]
    for module in MODULES:
        if not any(re.fullmatch(rf"orvane/basic/{module}\.{abi}-.*\.so", n) for n in names):
            faults.append(f"no compiled module {module} for {abi}")
        if f"orvane/basic/{module}.pyi" not in names:
            faults.append(f"no stub {module}.pyi")
    faults += [f"no bundled {i}" for i in IMAGES if f"orvane/sample_images/{i}" not in names]
    if "orvane/py.typed" not in names:
        faults.append("no py.typed")
    if f"{dist_info}/licenses/LICENSE" not in names:
        faults.append("no LICENSE in the metadata folder")
    if metadata.get("License-Expression") != "MIT":
        faults.append(f"license {metadata.get('License-Expression')!r}, not MIT")
    if not metadata.get_all("Classifier"):
        faults.append("no classifiers")
    if not metadata.get_all("Project-URL"):
        faults.append("no project URLs")
    if metadata.get("Description-Content-Type") != "text/markdown":
        faults.append("the readme is not declared as markdown")
    readme = metadata.get_payload()
    if not readme.strip():
        faults.append("no readme")
    for match in RELATIVE_IMAGE.finditer(readme):
        faults.append(f"the readme shows an image at a relative path: {match[0]}")
    version = re.search(r'^__version__ = "([^"]+)"', init, re.MULTILINE)
    if version is None or version[1] != metadata["Version"]:
        faults.append(f"metadata version {metadata['Version']} is not orvane.__version__")
    return faults


# The oldest glibc the wheel is to install on (manylinux_2_28: RHEL 8, Debian 10, Ubuntu
# 18.10 and later).
OLDEST_GLIBC = (2, 28)


def sdist_faults(path):
    with tarfile.open(path) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    needed = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "PKG-INFO"]
    needed += [f"misc/{image}" for image in IMAGES]
    return [f"the sdist lacks {name}" for name in needed if name not in names]


def main():
    wheel, *sdists = (Path(arg) for arg in sys.argv[1:])
    tag = "-".join(wheel.stem.split("-")[2:])
    python_tag = tag.split("-")[0]
    print(f"wheel {wheel.name}: tag {tag}, {wheel.stat().st_size / 1024:.0f} KiB")
    faults = wheel_faults(wheel, python_tag)
    for sdist in sdists:
        print(f"sdist {sdist.name}: {sdist.stat().st_size / 1024:.0f} KiB")
        faults += sdist_faults(sdist)
    glibc = [tuple(map(int, found)) for found in re.findall(r"manylinux_(\d+)_(\d+)", tag)]
    if not glibc:
        faults.append(f"the wheel's tag {tag} is not a manylinux tag")
    elif min(glibc) > OLDEST_GLIBC:
        # A symbol of a newer glibc slipped in: users of older Linux systems lose the wheel.
        faults.append(f"the wheel needs glibc {min(glibc)}, newer than {OLDEST_GLIBC}")
    for fault in faults:
        print("FAULT:", fault)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
