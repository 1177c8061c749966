"""Every function runs in the smallest thread stack that the interpreter accepts (32 KiB where it
accepts that, as 3.13 does; 3.14 refuses less than 52 KiB), and the sorts of encode_posting_list
and merge_posting_lists do whatever the list: their stack use is bounded, not driven by the keys.

The crafted lists make the sort split every key word on all its digits while keeping more than a
comparison sort's worth of postings together: 65 equal postings, plus outliers that differ from
them by 2**31 - 1, 2**23, 2**15 and 2**7 in one key word at a time. The run happens in a child
process, so that a stack overflow fails the test instead of ending the test run.
"""

import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

CHILD = textwrap.dedent(
    """
    import io, random, sys, threading
    sys.path.insert(0, sys.argv[1])
    import quorbel
    import reference as ref

    def int32(value):
        value &= 0xFFFFFFFF
        return value - 2**32 if value >= 2**31 else value

    OFFSETS = (2**31 - 1, 2**23, 2**15, 2**7)
    # Outliers in the first, second and last words of the ranking key (-(cf + tf), -cf, -tf,
    # doc_id), and of the merge key (-(cf + 4 tf), -cf, -tf, doc_id), the other words equal.
    ranking = [(0, 0, 0)] * 65
    ranking += [(0, -d, 0) for d in OFFSETS] + [(0, -d, d) for d in OFFSETS]
    ranking += [(d, 0, 0) for d in OFFSETS]
    merge = [(0, 0, 0)] * 65
    merge += [(0, -d, 0) for d in OFFSETS] + [(0, int32(-4 * d), d) for d in OFFSETS]
    merge += [(d, 0, 0) for d in OFFSETS]
    rng = random.Random(7)
    spread = [(rng.randrange(-2**31, 2**31), rng.randrange(50), rng.randrange(5))
              for _ in range(100_000)]
    lists = {"crafted ranking": ranking, "crafted merge": merge, "random 100000": spread}

    def run(function, postings):
        if function == "encode_posting_list":
            return quorbel.encode_posting_list(postings)
        return quorbel.merge_posting_lists([quorbel.encode_posting_list(postings, True)])

    def expected(function, postings):
        if function == "encode_posting_list":
            return ref.encode_posting_list(postings)
        return ref.merge_posting_lists([ref.encode_posting_list(postings, True)])

    def the_others():
        path = sys.argv[2]
        quorbel.write_binary_block(["x" * 9000, "ab"], [(1, 2), (3, 4)], [spread[:9000], ranking], path)
        return (quorbel.iter_block_terms(path), quorbel.read_term_at_offset(path, 8),
                quorbel.get_block_stats(path), quorbel.decode_posting_list(ref.encode_posting_list(spread)),
                quorbel.read_varint(io.BytesIO(b"\\xac\\x02")), quorbel.encode_varint(2**62))

    cases = [(f, name) for f in ("encode_posting_list", "merge_posting_lists") for name in lists]
    wanted = {case: expected(case[0], lists[case[1]]) for case in cases}
    wanted["the other functions", "mixed"] = the_others()
    results = {}

    def worker():
        for case in cases:
            results[case] = run(case[0], lists[case[1]])
        results["the other functions", "mixed"] = the_others()

    # The smallest size threading.stack_size accepts, from 32 KiB up (accepted sizes form a range).
    def accepted(size):
        try:
            threading.stack_size(size)
        except ValueError:
            return False
        return True

    low, high = 32768, 1 << 24
    assert accepted(high)
    while low < high:
        middle = (low + high) // 2
        low, high = (low, middle) if accepted(middle) else (middle + 1, high)
    threading.stack_size(low)
    print("stack:", threading.stack_size())
    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    for case in wanted:
        print(*case, "ok" if results.get(case) == wanted[case] else "wrong", sep=": ")
    """
)


def test_functions_run_in_the_smallest_thread_stack(tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(ROOT / "tests"), str(tmp_path / "block.bin")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    stack, *lines = done.stdout.splitlines()
    # A small stack is the point: an interpreter that refuses 64 KiB needs another look.
    assert 32768 <= int(stack.removeprefix("stack: ")) <= 65536, stack
    assert len(lines) == 7 and all(line.endswith(": ok") for line in lines), done.stdout
