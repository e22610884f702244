"""Big5, GB18030, Shift-JIS and EUC-KR input: detected, read as UTF-8, and
kept byte for byte in the quarantine."""

import codecs

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_adaptive import EXAMPLES, raw_bytes, run

import quillon

# What each encoding is reported as, the codec its files are written in, and
# a table in its script.
TABLES = {
    "gb18030": ("gbk", "id,姓名,城市\n1,王小明,北京市\n2,李华,上海市\n3,张伟,广州市\n4,赵六,深圳市\n"),
    "big5": ("cp950", "id,姓名,城市\n1,陳大文,臺北市\n2,林美玲,高雄市\n3,黃志明,臺中市\n4,許功蓋,臺南市\n"),
    "shift_jis": ("cp932", "id,名前,住所\n1,山田太郎,東京都新宿区\n2,佐藤花子,大阪府\n3,鈴木一郎,名古屋市\n4,表ソ,京都府\n"),
    "euc-kr": ("cp949", "id,이름,도시\n1,김민준,서울특별시\n2,이서연,부산광역시\n3,박지훈,대구광역시\n4,최유나,인천\n"),
}


@pytest.mark.parametrize("detected", TABLES)
def test_detected_and_read_as_utf8(tmp_path, detected):
    codec, text = TABLES[detected]
    report, clean, rejected = run(tmp_path, text.encode(codec))
    assert (report.input.encoding, clean, rejected) == (detected, text, [])


@pytest.mark.parametrize(
    ("given", "reported"),
    [
        ("big5", "big5"),
        ("cp950", "big5"),
        ("GB18030", "gb18030"),
        ("gbk", "gb18030"),
        ("euc-cn", "gb18030"),
        ("sjis", "shift_jis"),
        ("ms932", "shift_jis"),
        ("euc_kr", "euc-kr"),
        ("uhc", "euc-kr"),
    ],
)
def test_encoding_names(tmp_path, given, reported):
    # Too short to detect: only the name given reads it right.
    codec = codecs.lookup(given).name
    text = {"big5": "a,許\n", "cp950": "a,許\n", "gb18030": "a,中\n", "gbk": "a,中\n", "gb2312": "a,中\n",
            "shift_jis": "a,表\n", "cp932": "a,表\n", "euc_kr": "a,한\n", "cp949": "a,한\n"}[codec]
    report, clean, _ = run(tmp_path, text.encode(codec), encoding=given)
    assert (report.input.encoding, clean) == (reported, text)


# A record set aside in each encoding, by what it holds: plain text goes as
# text in the codec that gives its bytes back; a byte that starts no
# character, or a character that codec writes in another form, as base64.
QUARANTINED = [
    ("big5", "cp950", "5,陳大文\n".encode("cp950"), "cp950"),
    ("gb18030", "gb18030", "5,王小明\n".encode("gbk"), "gb18030"),
    ("gb18030", "gb18030", b"5,\xa8\xbc\n", "base64"),
    ("shift_jis", "cp932", "5,表ソ\n".encode("cp932"), "cp932"),
    ("shift_jis", "cp932", b"5,\xed\x40\n", "base64"),
    ("euc-kr", "cp949", b"5,\xc0\xcc\xff\n", "base64"),
]


@pytest.mark.parametrize(("encoding", "codec", "record", "form"), QUARANTINED)
def test_quarantine_keeps_the_bytes_and_lines(tmp_path, encoding, codec, record, form):
    text = TABLES[encoding][1]
    head, tail = text.split("\n", 3)[:3], text.split("\n", 3)[3]
    # The short record stands on the input's fourth line, after two-byte text.
    data = ("\n".join(head) + "\n").encode(codec) + record + tail.encode(codec)
    report, _, rejected = run(tmp_path, data, encoding=encoding, fill_ragged_rows=False)
    assert report.quarantined_rows == 1
    [entry] = rejected
    offset = int(entry["byte_offset"])
    assert (entry["first_line"], entry["encoding"]) == ("4", form)
    assert raw_bytes(entry) == record.rstrip(b"\n") == data[offset : offset + len(record) - 1]


# Where glibc, which the transcoding follows, and Python read a sequence as
# different characters: Big5's ETEN extensions (Python: kana, Cyrillic;
# glibc: private use) and the GB18030 characters that later Unicode gave
# code points of their own (glibc: those; Python: private use).
READ_OTHERWISE = {
    "cp950": [(0xA2CC, 0xA2CE), (0xC6A1, 0xC8FE), (0xF9D6, 0xF9FE)],
    "gb18030": [(0xA6D9, 0xA6F3), (0xA8BC, 0xA8BC), (0xFE50, 0xFEA0)],
}


def _alphabet(codec: str) -> list[str]:
    """Characters of the codec's two-byte range that it reads back exactly."""
    chars = []
    for lead in range(0x81, 0xFF, 3):
        for trail in range(0x40, 0xFF, 5):
            if any(a <= lead * 256 + trail <= b for a, b in READ_OTHERWISE.get(codec, [])):
                continue
            try:
                c = bytes([lead, trail]).decode(codec)
            except UnicodeDecodeError:
                continue
            if len(c) == 1 and c.encode(codec) == bytes([lead, trail]) and c not in ',"\r\n':
                chars.append(c)
    return chars


CODECS = {"gb18030": "gb18030", "big5": "cp950", "shift_jis": "cp932", "euc-kr": "cp949"}
ALPHABETS = {name: _alphabet(codec) + list("ab7 -") for name, codec in CODECS.items()}


@st.composite
def tables(draw: st.DrawFn) -> tuple[str, list[list[str]]]:
    encoding = draw(st.sampled_from(sorted(ALPHABETS)))
    field = st.text(st.sampled_from(ALPHABETS[encoding]), min_size=1, max_size=8).map(lambda s: "x" + s)
    rows = draw(st.lists(st.lists(field, min_size=3, max_size=3), min_size=1, max_size=12))
    short = draw(st.lists(st.integers(0, len(rows) - 1), max_size=2))
    for i in short:
        rows[i] = rows[i][:1]
    return encoding, rows


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tables())
def test_round_trip(tmp_path, table):
    # Text in each codec comes out as the same text, and each short record
    # set aside gives its bytes back at its offset.
    encoding, rows = table
    codec = CODECS[encoding]
    text = "".join(",".join(r) + "\n" for r in rows)
    data = text.encode(codec)
    report, clean, rejected = run(tmp_path, data, encoding=encoding, delimiter=",", fill_ragged_rows=False, header=False,
                                  expected_columns=3)
    assert clean == "".join(",".join(r) + "\n" for r in rows if len(r) == 3)
    assert len(rejected) == sum(len(r) == 1 for r in rows)
    for entry in rejected:
        original = raw_bytes(entry)
        offset = int(entry["byte_offset"])
        assert data[offset : offset + len(original)] == original
        assert data[:offset].count(b"\n") + 1 == int(entry["first_line"])


# Western-European exports: accented words, prices, units and quotes.
WESTERN_WORDS = (
    "Prénom Besançon Orléans Hélène Châlons déjà façade crème brûlée à où Noël naïve "
    "Straße Jürgen Müller Größe Übersee Öztürk Bär "
    "Año Señor Núñez ¿Qué? ¡Olé! Peñalolén María "
    "Descrição Situação Ações Informações São João Coração Organização "
    "€5 5€ £3 ¥1200 21°C 70°F 5µg 3µm ±2 ½ ¾ n°5 1ª 2º "
    "“quoted” ‘single’ – — … «Élodie» „so“ ‚so‘ © ® ™ § ¶ • "
    "id name city price note London Paris 12 3,50 2024-01-31"
).split()


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.lists(st.sampled_from(WESTERN_WORDS), min_size=1, max_size=6), min_size=2, max_size=40),
       st.sampled_from([",", ";", "\t"]))
def test_western_text_is_never_taken_for_double_byte(tmp_path, rows, delimiter):
    path = tmp_path / "western.csv"
    path.write_bytes("".join(delimiter.join(r) + "\r\n" for r in rows).encode("cp1252"))
    assert quillon.detect(path).encoding not in CODECS
