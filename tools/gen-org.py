#!/usr/bin/env python3
"""Writes the host folder of a synthetic organisation of N users.

    gen-org.py --users N --seed S --out DIR [--server EXCH01] [--alias qavagent] [--mcls N]
               [--qdls]

The folder holds what a run of testqav needs:

    registry.reg                                  ExServer / ExAlias (UTF-16LE .reg export)
    exchange/<server>/directory.ldif              users, contacts, lists, the agent's account
    exchange/<server>/mailboxes/<alias>.json      the agent's mailbox: agent folders, settings
                                                  message, registration folder, MCL folder
                                                  (with --mcls N: N mandatory contact lists,
                                                  and their lists in the directory; with
                                                  --qdls: MCLs that name query-based lists)
    exchange/<server>/public.json                 an empty public folder store

The output depends only on the arguments: the same arguments give the same bytes. Only the
standard library is used, so the tool runs wherever python3 does.

The registration folder is made to look like one that has been in service for a while: every
user has a registration, ~3% of users registered twice (the older message must lose),
~5% registered under a secondary address, ~1% of the rows are unusable (device-info topics,
addresses without a domain), a few belong to people who have left the directory, and the
named fields vary in the ways that real clients wrote them (PIN "none" with a DeviceID,
proxy lists with and without their outer ";", stale ODNs).
"""

import argparse
import base64
import json
import os
import random
import sys
import time

PUBLIC_STRINGS = "{00020329-0000-0000-C000-000000000046}"
REGISTRATION_CLASS = "IPM.Note.QAV.Registration"
# Times are spread over two years before this instant so that output never depends on the
# clock of the machine that generates it.
BASE_EPOCH = 1717200000  # 2024-06-01T00:00:00Z
TWO_YEARS = 2 * 365 * 86400

GIVEN = (
    "James Mary Robert Patricia John Jennifer Michael Linda David Elizabeth William Barbara "
    "Richard Susan Joseph Jessica Thomas Sarah Charles Karen Christopher Lisa Daniel Nancy "
    "Matthew Betty Anthony Sandra Mark Margaret Donald Ashley Steven Kimberly Andrew Emily "
    "Paul Donna Joshua Michelle Kenneth Carol Kevin Amanda Brian Melissa George Deborah "
    "Timothy Stephanie Ronald Rebecca Jason Sharon Edward Laura Jeffrey Cynthia Ryan Dorothy "
    "Jacob Amy Gary Kathleen Nicholas Angela Eric Shirley Jonathan Emma Stephen Brenda Larry "
    "Pamela Justin Nicole Scott Anna Brandon Samantha Benjamin Katherine Samuel Christine "
    "Gregory Debra Alexander Rachel Patrick Carolyn Frank Janet Raymond Maria Jack Olivia "
    "Dennis Heather Jerry Helen Tyler Catherine Aaron Diane Jose Julie Adam Victoria Nathan "
    "Joyce Henry Lauren Zachary Kelly Douglas Christina Peter Ruth Kyle Joan Noah Virginia "
    "Ethan Judith Jeremy Evelyn Walter Hannah Christian Andrea Keith Megan Roger Cheryl "
    "Terry Jacqueline Austin Madison Sean Teresa Gerald Abigail Carl Sophia Harold Martha "
    "Dylan Sara Arthur Gloria Lawrence Janice Jordan Kathryn Jesse Ann Bryan Isabella Billy "
    "Judy Bruce Charlotte Gabriel Julia Joe Grace Logan Amber Alan Alice Juan Jean Albert "
    "Denise Willie Frances Elijah Danielle Wayne Marilyn Randy Natalie Vincent Beverly Mason "
    "Diana Roy Brittany Ralph Theresa Bobby Kayla Russell Alexis Bradley Doris Philip Lori "
    "Eugene Tiffany Hiroshi Yuki Wei Mei Raj Priya Ahmed Fatima Olga Ivan Lars Ingrid Pierre "
    "Chloe Luca Giulia Mateo Sofia Kwame Amara Sven Astrid Dmitri Anya Kenji Sakura"
).split()

SURNAMES = (
    "Smith Johnson Williams Brown Jones Garcia Miller Davis Rodriguez Martinez Hernandez "
    "Lopez Gonzalez Wilson Anderson Thomas Taylor Moore Jackson Martin Lee Perez Thompson "
    "White Harris Sanchez Clark Ramirez Lewis Robinson Walker Young Allen King Wright Scott "
    "Torres Nguyen Hill Flores Green Adams Nelson Baker Hall Rivera Campbell Mitchell Carter "
    "Roberts Gomez Phillips Evans Turner Diaz Parker Cruz Edwards Collins Reyes Stewart "
    "Morris Morales Murphy Cook Rogers Gutierrez Ortiz Morgan Cooper Peterson Bailey Reed "
    "Kelly Howard Ramos Kim Cox Ward Richardson Watson Brooks Chavez Wood James Bennett Gray "
    "Mendoza Ruiz Hughes Price Alvarez Castillo Sanders Patel Myers Long Ross Foster Jimenez "
    "Powell Jenkins Perry Russell Sullivan Bell Coleman Butler Henderson Barnes Gonzales "
    "Fisher Vasquez Simmons Romero Jordan Patterson Alexander Hamilton Graham Reynolds "
    "Griffin Wallace Moreno West Cole Hayes Bryant Herrera Gibson Ellis Tran Medina Aguilar "
    "Stevens Murray Ford Castro Marshall Owens Harrison Fernandez McDonald Woods Washington "
    "Kennedy Wells Vargas Henry Chen Freeman Webb Tucker Guzman Burns Crawford Olson Simpson "
    "Porter Hunter Gordon Mendez Silva Shaw Snyder Mason Dixon Munoz Hunt Hicks Holmes Palmer "
    "Wagner Black Robertson Boyd Rose Stone Salazar Fox Warren Mills Meyer Rice Schmidt "
    "Garza Daniels Ferguson Nichols Stephens Soto Weaver Ryan Gardner Payne Grant Dunn Kelley "
    "Spencer Hawkins Arnold Pierce Vazquez Hansen Peters Santos Hart Bradley Knight Elliott "
    "Cunningham Duncan Armstrong Hudson Carroll Lane Riley Andrews Alvarado Ray Delgado Berry "
    "Perkins Hoffman Johnston Matthews Pena Richards Contreras Willis Carpenter Lawrence "
    "Tanaka Suzuki Wang Zhang Singh Sharma Khan Ivanova Larsen Dubois Rossi Bianchi Okafor "
    "Mensah Lindqvist Nakamura Petrov Kowalski Novak Horvat Fischer Weber Schneider OBrien"
).split()

# Names that real directories hold in their own script. The mail address uses the ASCII
# form; the LDIF carries the name base64-encoded, as LDIF requires for non-ASCII values.
ACCENTED_GIVEN = [("José", "jose"), ("Zoë", "zoe"), ("Björn", "bjorn"), ("Renée", "renee"),
                  ("François", "francois"), ("Søren", "soren"), ("Łukasz", "lukasz"),
                  ("Ángel", "angel")]
ACCENTED_SURNAMES = [("Müller", "muller"), ("Núñez", "nunez"), ("Ødegård", "odegard"),
                     ("Dvořák", "dvorak"), ("Çelik", "celik"), ("Gómez", "gomez")]

DEPARTMENTS = [
    ("Sales", ["Account Manager", "Sales Representative", "Sales Director", "Inside Sales"]),
    ("Engineering", ["Software Engineer", "Field Engineer", "Senior Engineer", "QA Engineer"]),
    ("Finance", ["Accountant", "Controller", "Financial Analyst", "Payroll Specialist"]),
    ("Operations", ["Warehouse Lead", "Logistics Coordinator", "Buyer", "Operations Manager"]),
    ("Marketing", ["Marketing Specialist", "Brand Manager", "Content Writer"]),
    ("Human Resources", ["HR Generalist", "Recruiter", "HR Director"]),
    ("Support", ["Support Engineer", "Service Desk Analyst", "Support Manager"]),
    ("Legal", ["Counsel", "Paralegal"]),
]

OFFICES = [
    # city, state, zip, country, area code, streets
    ("Redmond", "WA", "98052", "United States", "425", ["One Microsoft Way", "12 Harbour Road"]),
    ("Seattle", "WA", "98101", "United States", "206", ["400 Pine Street", "1201 Third Avenue"]),
    ("Chicago", "IL", "60601", "United States", "312", ["233 S Wacker Drive"]),
    ("Austin", "TX", "78701", "United States", "512", ["98 San Jacinto Blvd"]),
    ("New York", "NY", "10001", "United States", "212", ["350 Fifth Avenue"]),
    ("London", "", "EC2V 7HH", "United Kingdom", "+44 20", ["1 Poultry"]),
    ("Munich", "BY", "80331", "Germany", "+49 89", ["Marienplatz 8"]),
    ("Toronto", "ON", "M5H 2N2", "Canada", "416", ["100 King Street West"]),
]

GENERATIONS = ["Jr.", "Sr.", "II", "III"]


class Rng(random.Random):
    """random.Random with cheap draws: the generator makes millions of them, and
    randrange's general path costs several times more than one call of random()."""

    def below(self, n):
        return int(self.random() * n)

    def pick(self, seq):
        return seq[int(self.random() * len(seq))]

    def shuffle_fast(self, items):
        rnd = self.random
        for i in range(len(items) - 1, 0, -1):
            j = int(rnd() * (i + 1))
            items[i], items[j] = items[j], items[i]


def phone(rng, area):
    if area[0] == "+":
        return "%s %04d %04d" % (area, rng.random() * 10000, rng.random() * 10000)
    return "+1 %s 555 %04d" % (area, rng.random() * 10000)


def ldif_line(attr, value):
    """One attribute line; values that LDIF cannot carry plainly are base64-encoded."""
    if value and (value.isascii() and value[0] not in " :<" and value[-1] != " "):
        return "%s: %s\n" % (attr, value)
    if not value:
        return "%s:\n" % attr
    return "%s:: %s\n" % (attr, base64.b64encode(value.encode("utf-8")).decode("ascii"))


class User:
    __slots__ = ("cn", "dn", "given", "sn", "initials", "generation", "alias", "mail",
                 "secondaries", "x500", "legacy_dn", "hidden", "attrs", "office", "dept")


def build_users(rng, n, domain, org):
    """The directory's mailbox users, deterministic for the generator's state."""
    used_alias = {}
    used_local = {}
    used_cn = {}
    taken = set()  # every SMTP address handed out, lower case
    admin_group = "/o=%s/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)" % org
    old_group = "/o=%s/ou=First Administrative Group" % org
    company_line = "company: %s Ltd\n" % org
    rnd = rng.random
    users = []
    for i in range(n):
        u = User()
        r = rng.random()
        if r < 0.02:
            g, g_ascii = ACCENTED_GIVEN[rng.below(len(ACCENTED_GIVEN))]
        else:
            g = GIVEN[rng.below(len(GIVEN))]
            g_ascii = g.lower()
        if rng.random() < 0.015:
            s, s_ascii = ACCENTED_SURNAMES[rng.below(len(ACCENTED_SURNAMES))]
        else:
            s = SURNAMES[rng.below(len(SURNAMES))]
            s_ascii = s.lower()
        u.given, u.sn = g, s
        u.initials = chr(65 + rng.below(26)) if rng.random() < 0.2 else ""
        u.generation = GENERATIONS[rng.below(4)] if rng.random() < 0.01 else ""

        base_cn = "%s %s" % (g, s) + (" " + u.generation if u.generation else "")
        k = used_cn.get(base_cn, 0) + 1
        used_cn[base_cn] = k
        u.cn = base_cn if k == 1 else "%s %d" % (base_cn, k)

        base_alias = (g_ascii[0] + s_ascii)[:18]
        k = used_alias.get(base_alias, 0) + 1
        used_alias[base_alias] = k
        u.alias = base_alias if k == 1 else "%s%d" % (base_alias, k)

        # Some organisations used "_" as the separator; a few old addresses carry "%", which
        # the engine must store encoded.
        sep = "_" if rng.random() < 0.02 else "."
        base_local = g_ascii + sep + s_ascii
        k = used_local.get(base_local, 0) + 1
        used_local[base_local] = k
        local = base_local if k == 1 else "%s%d" % (base_local, k)
        u.mail = "%s@%s" % (local, domain)
        if u.mail in taken:  # "ann_lee" may already be someone's secondary address
            local = "%s%d" % (base_local, k + 1000 * (i + 1))
            u.mail = "%s@%s" % (local, domain)
        taken.add(u.mail)

        # Exchange refuses an address that another recipient holds, so every candidate
        # secondary address is checked against all addresses handed out so far.
        sec = []
        candidates = []
        if rnd() < 0.55:
            candidates.append("%s@%s" % (u.alias, domain))
        if rnd() < 0.15:
            sub = ("sales", "eu", "us", "corp")[int(rnd() * 4)]
            # Secondary addresses keep whatever case the administrator typed.
            candidates.append("%s@%s.%s" % (".".join(p.capitalize() for p in local.split(sep)),
                                            sub, domain.capitalize()))
        if rnd() < 0.005:
            candidates.append("%s@%s" % (local.replace(sep, "%"), domain))
        if rnd() < 0.005:
            candidates.append("%s@%s" % (local.replace(sep, "_" if sep == "." else "."), domain))
        for c in candidates:
            key = c.lower()
            if key not in taken:
                taken.add(key)
                sec.append(c)
        u.secondaries = sec

        u.legacy_dn = "%s/cn=Recipients/cn=%s" % (admin_group, u.alias)
        # Mailboxes moved from an older administrative group keep their old name as X500.
        u.x500 = ["%s/cn=Recipients/cn=%s" % (old_group, u.alias)] if rng.random() < 0.3 else []
        u.hidden = rng.random() < 0.003

        dept, titles = DEPARTMENTS[int(rnd() * len(DEPARTMENTS))]
        office = OFFICES[int(rnd() * len(OFFICES))]
        u.office = office
        city, st, postal, country, area, streets = office
        # Attribute lines are rendered here (all ASCII): the LDIF writer only joins them.
        a = []
        if rnd() < 0.85:
            a.append("telephoneNumber: %s\n" % phone(rng, area))
        if rnd() < 0.7:
            a.append("mobile: %s\n" % phone(rng, area))
        if rnd() < 0.15:
            a.append("homePhone: %s\n" % phone(rng, area))
        if rnd() < 0.03:
            a.append("pager: %s\n" % phone(rng, area))
        if rnd() < 0.1:
            a.append("facsimileTelephoneNumber: %s\n" % phone(rng, area))
        if rnd() < 0.08:
            a.append("otherTelephone: %s\n" % phone(rng, area))
            if rnd() < 0.3:
                a.append("otherTelephone: %s\n" % phone(rng, area))
        if rnd() < 0.04:
            a.append("otherHomePhone: %s\n" % phone(rng, area))
        if rnd() < 0.9:
            a.append("title: %s\n" % titles[int(rnd() * len(titles))])
        if rnd() < 0.95:
            a.append(company_line)
        u.dept = None
        if rnd() < 0.9:
            u.dept = dept
            a.append("department: %s\n" % dept)
        if rnd() < 0.6:
            a.append("physicalDeliveryOfficeName: Building %d, Room %d\n"
                     % (1 + rnd() * 6, 100 + rnd() * 400))
        if rnd() < 0.8:
            a.append("streetAddress: %s\nl: %s\n%spostalCode: %s\nco: %s\n"
                     % (streets[int(rnd() * len(streets))], city,
                        "st: %s\n" % st if st else "", postal, country))
        u.attrs = "".join(a)
        users.append(u)
    return users


def write_ldif(path, users, domain, org, server, alias, rng, tail=None):
    dc = domain.split(".")
    base = ",".join("DC=" + p for p in dc)
    schema = "CN=Schema,CN=Configuration," + base
    admin_group = "/o=%s/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)" % org
    home_server = "%s/cn=Configuration/cn=Servers/cn=%s" % (admin_group, server)
    person_cat = "objectCategory: CN=Person,%s\n" % schema
    ous = [d for d, _ in DEPARTMENTS]
    out = []
    w = out.append
    w("version: 1\n\n")
    w("# %s: a generated organisation of %d mailbox users.\n\n" % (org, len(users)))
    w("dn: %s\nobjectClass: top\nobjectClass: domain\nobjectClass: domainDNS\ndc: %s\n"
      "objectCategory: CN=Domain-DNS,%s\n\n" % (base, dc[0], schema))
    w("dn: CN=Users,%s\nobjectClass: top\nobjectClass: container\ncn: Users\n"
      "objectCategory: CN=Container,%s\n\n" % (base, schema))
    for ou in ous + ["Partners"]:
        w("dn: OU=%s,%s\nobjectClass: top\nobjectClass: organizationalUnit\nou: %s\n"
          "objectCategory: CN=Organizational-Unit,%s\n\n" % (ou, base, ou, schema))

    dept_members = {d: [] for d in ous}
    for idx, u in enumerate(users):
        dept = u.dept
        container = ("OU=%s," % dept if dept and idx % 3 else "CN=Users,") + base
        u.dn = "CN=%s,%s" % (u.cn, container)
        if dept and len(dept_members[dept]) < 200 and not u.hidden:
            dept_members[dept].append(u.dn)
        display = "%s %s" % (u.given, u.sn) + (" " + u.generation if u.generation else "")
        parts = [
            "dn: " + u.dn + "\n" if u.dn.isascii() else ldif_line("dn", u.dn),
            "objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
            "objectClass: user\n",
            ldif_line("cn", u.cn),
            ldif_line("sn", u.sn),
            ldif_line("givenName", u.given),
        ]
        if u.initials:
            parts.append("initials: %s\n" % u.initials)
        if u.generation:
            parts.append("generationQualifier: %s\n" % u.generation)
        parts.append(ldif_line("displayName", display))
        parts.append("mail: %s\nmailNickname: %s\nsAMAccountName: %s\nproxyAddresses: SMTP:%s\n"
                     % (u.mail, u.alias, u.alias, u.mail))
        for s in u.secondaries:
            parts.append("proxyAddresses: smtp:%s\n" % s)
        for x in u.x500:
            parts.append("proxyAddresses: X500:%s\n" % x)
        parts.append("proxyAddresses: X400:c=US;a= ;p=%s;o=Exchange;s=%s;g=%s;\n"
                     % (org, u.alias, u.alias[:1]))
        parts.append("legacyExchangeDN: %s\nmsExchHomeServerName: %s\n"
                     "msExchRecipientTypeDetails: 1\nmsExchRecipientDisplayType: 1073741824\n"
                     "userAccountControl: 512\n" % (u.legacy_dn, home_server))
        if u.hidden:
            parts.append("msExchHideFromAddressLists: TRUE\n")
        parts.append(u.attrs)
        parts.append(person_cat)
        parts.append("\n")
        w("".join(parts))

    # Mail contacts outside the organisation.
    contacts = max(3, len(users) // 100)
    contact_addresses = set()
    for i in range(contacts):
        g = GIVEN[rng.below(len(GIVEN))]
        s = SURNAMES[rng.below(len(SURNAMES))]
        nick = "ext%s%s%d" % (g[0].lower(), s.lower(), i)
        addr = "%s.%s@%s" % (g.lower(), s.lower(), ("fabrikam.example", "contoso.example",
                                                   "adatum.example")[i % 3])
        if addr in contact_addresses:
            addr = addr.replace("@", str(i) + "@")
        contact_addresses.add(addr)
        w("dn: CN=%s %s (external %d),OU=Partners,%s\nobjectClass: top\nobjectClass: person\n"
          "objectClass: organizationalPerson\nobjectClass: contact\ncn: %s %s (external %d)\n"
          "sn: %s\ngivenName: %s\ndisplayName: %s %s (external)\nmail: %s\nmailNickname: %s\n"
          "proxyAddresses: SMTP:%s\nlegacyExchangeDN: %s/cn=Recipients/cn=%s\n"
          "targetAddress: SMTP:%s\n%s\n"
          % (g, s, i, base, g, s, i, s, g, g, s, addr, nick, addr, admin_group, nick, addr,
             person_cat))

    # One distribution list per department (its first members), and an all-staff list of lists.
    group_cat = "objectCategory: CN=Group,%s\n" % schema
    list_dns = []
    for dept in ous:
        nick = dept.lower().replace(" ", "") + "team"
        dn = "CN=%s Team,CN=Users,%s" % (dept, base)
        list_dns.append(dn)
        w("dn: %s\nobjectClass: top\nobjectClass: group\ncn: %s Team\ndisplayName: %s Team\n"
          "mail: %s@%s\nmailNickname: %s\nproxyAddresses: SMTP:%s@%s\n"
          "legacyExchangeDN: %s/cn=Recipients/cn=%s\ngroupType: 8\n"
          % (dn, dept, dept, nick, domain, nick, nick, domain, admin_group, nick))
        w("".join(ldif_line("member", m) for m in dept_members[dept]))
        w(group_cat + "\n")
    w("dn: CN=All Staff,CN=Users,%s\nobjectClass: top\nobjectClass: group\ncn: All Staff\n"
      "displayName: All Staff\nmail: all.staff@%s\nmailNickname: allstaff\n"
      "proxyAddresses: SMTP:all.staff@%s\nlegacyExchangeDN: %s/cn=Recipients/cn=allstaff\n"
      "groupType: -2147483640\n" % (base, domain, domain, admin_group))
    w("".join("member: %s\n" % dn for dn in list_dns))
    w(group_cat + "\n")
    w("dn: CN=Field Engineers,CN=Users,%s\nobjectClass: top\n"
      "objectClass: msExchDynamicDistributionList\ncn: Field Engineers\n"
      "displayName: Field Engineers\nmail: field.engineers@%s\nmailNickname: fieldengineers\n"
      "proxyAddresses: SMTP:field.engineers@%s\n"
      "legacyExchangeDN: %s/cn=Recipients/cn=fieldengineers\n"
      "msExchDynamicDLFilter: (&(objectClass=user)(objectCategory=person)(mailNickname=*)"
      "(msExchHomeServerName=*)(title=*Field Engineer*))\nmsExchDynamicDLBaseDN: %s\n"
      "objectCategory: CN=ms-Exch-Dynamic-Distribution-List,%s\n\n"
      % (base, domain, domain, admin_group, base, schema))

    # The agent's own account.
    w("dn: CN=QAV Agent,CN=Users,%s\nobjectClass: top\nobjectClass: person\n"
      "objectClass: organizationalPerson\nobjectClass: user\ncn: QAV Agent\nsn: Agent\n"
      "givenName: QAV\ndisplayName: QAV Agent\nmail: %s@%s\nmailNickname: %s\n"
      "sAMAccountName: %s\nproxyAddresses: SMTP:%s@%s\n"
      "legacyExchangeDN: %s/cn=Recipients/cn=%s\nmsExchHomeServerName: %s\n"
      "msExchRecipientTypeDetails: 1\nmsExchRecipientDisplayType: 1073741824\n"
      "userAccountControl: 512\n%s"
      % (base, alias, domain, alias, alias, alias, domain, admin_group, alias, home_server,
         person_cat))
    if tail is not None:
        # Entries that refer to the users by DN: known only now.
        w("\n")
        w(tail())
    write_text(path, "".join(out))


_DAYS = {}
_NAMED_PREFIX = {}


def iso(epoch):
    """UTC time text; the date part is cached, since messages share a few hundred days."""
    day, sec = divmod(epoch, 86400)
    date = _DAYS.get(day)
    if date is None:
        date = _DAYS[day] = time.strftime("%Y-%m-%d", time.gmtime(day * 86400))
    return "%sT%02d:%02d:%02dZ" % (date, sec // 3600, sec // 60 % 60, sec % 60)


def jstr(text):
    """JSON string literal; plain ASCII needs no encoder call."""
    if text.isascii() and text.isprintable() and '"' not in text and "\\" not in text:
        return '"' + text + '"'
    return json.dumps(text, ensure_ascii=False)


def named(name, value):
    prefix = _NAMED_PREFIX.get(name)
    if prefix is None:
        prefix = _NAMED_PREFIX[name] = '{"set":"%s","name":%s,"type":"string","value":' % (
            PUBLIC_STRINGS, jstr(name))
    return prefix + jstr(value) + "}"


def registration(topic, when, props):
    """One registration message as JSON text (props: list of (name, value))."""
    return ('{"class":"%s","subject":"QAV Registration","topic":%s,"lastModified":"%s",'
            '"named":[%s]}' % (REGISTRATION_CLASS, jstr(topic), iso(when),
                               ",".join([named(k, v) for k, v in props])))


def user_registration(rng, u, org, domain, topic=None, when=None):
    """The named fields a client wrote for user `u`."""
    if topic is None:
        r = rng.random()
        if r < 0.085 and u.secondaries:  # ~60% of users have one: ~5% of registrations
            topic = u.secondaries[rng.below(len(u.secondaries))]
        elif r < 0.185:
            # Clients wrote the address as the user typed it.
            topic = "".join(c.upper() if rng.random() < 0.3 else c for c in u.mail)
        else:
            topic = u.mail
    if when is None:
        when = BASE_EPOCH - rng.below(TWO_YEARS)
    props = []
    smtp_all = [u.mail] + u.secondaries
    if rng.random() < 0.75:
        joined = ";".join(smtp_all)
        props.append(("Proxies", joined if rng.random() < 0.3 else ";" + joined + ";"))
    if u.x500 and rng.random() < 0.6:
        props.append(("X500Proxies", ";" + ";".join(u.x500) + ";"))
    if rng.random() < 0.02:
        props.append(("PIN", ("none", "None", "NONE")[rng.below(3)]))
        props.append(("DeviceID", " IMEI%015d " % rng.below(10 ** 15)))
    else:
        props.append(("PIN", "%08X" % rng.below(1 << 32)))
    r = rng.random()
    if r < 0.03:
        # Written before the mailbox moved: no longer known to the address book.
        props.append(("ODN", "/o=%s/ou=First Administrative Group/cn=Recipients/cn=%s-old"
                      % (org, u.alias)))
    elif r < 0.06:
        pass
    elif r < 0.16:
        props.append(("ODN", u.legacy_dn.upper()))
    else:
        props.append(("ODN", u.legacy_dn))
    area = u.office[4]
    if rng.random() < 0.8:
        props.append(("QAV Mobile Phone", phone(rng, area)))
    if rng.random() < 0.02:
        props.append(("QAV Radio Phone", phone(rng, area)))
    if rng.random() < 0.1:
        props.append(("QAV Privacy", "0"))
        props.append(("QAV Authorized", "1"))
        props.append(("QAV Authorized Email", u.mail))
    if rng.random() < 0.5:
        props.append(("QAV Business Phone", phone(rng, area)))
    if rng.random() < 0.05:
        props.append(("QAV Business Fax", phone(rng, area)))
    if rng.random() < 0.1:
        props.append(("QAV Home Phone", phone(rng, area)))
    if rng.random() < 0.02:
        props.append(("QAV Pager", phone(rng, area)))
    if rng.random() < 0.05:
        props.append(("QAV Private Fields", "HomePhone,Mobile"))
    return registration(topic, when, props)


def build_registrations(rng, users, org, domain):
    msgs = []
    for u in users:
        msgs.append(user_registration(rng, u, org, domain))
        if rng.random() < 0.03:
            # Registered again (new device): another time, maybe another address form.
            topic = u.mail.upper() if rng.random() < 0.3 else None
            msgs.append(user_registration(rng, u, org, domain, topic=topic))
    n = len(users)
    # Rows that cannot be used: device-info records and addresses without a domain.
    for i in range(max(1, n // 100)):
        u = users[rng.below(n)]
        when = BASE_EPOCH - rng.below(TWO_YEARS)
        r = rng.random()
        if r < 0.5:
            topic = "deviceinfo:%s" % u.mail
        elif r < 0.8:
            topic = "%s@%s" % (u.alias, org.lower())
        else:
            topic = u.alias
        msgs.append(registration(topic, when, [("PIN", "%08X" % rng.below(1 << 32))]))
    # People who left: the directory no longer knows them.
    for i in range(max(1, n // 200)):
        when = BASE_EPOCH - rng.below(TWO_YEARS)
        g = GIVEN[rng.below(len(GIVEN))].lower()
        s = SURNAMES[rng.below(len(SURNAMES))].lower()
        topic = "%s.%s.left%d@%s" % (g, s, i, domain)
        msgs.append(registration(topic, when, [
            ("PIN", "%08X" % rng.below(1 << 32)),
            ("ODN", "/o=%s/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)/cn=Recipients/"
                    "cn=%s%s.left%d" % (org, g[0], s, i))]))
    rng.shuffle_fast(msgs)
    return msgs


# Mandatory contact lists (--mcls). Everything below draws from a random stream of its own,
# so that asking for MCLs adds to an organisation without changing a byte of what the same
# seed gives without them: the benchmarks of whole runs compare figures across revisions.

MCL_CLASS = "IPM.Post.MCL"
CODENAMES = ("Falcon Orion Atlas Beacon Cobalt Delta Ember Fjord Granite Harbor Ivory Juniper "
             "Kestrel Lumen Meridian Nimbus Onyx Pioneer Quartz Raven Summit Tundra Vertex "
             "Willow Zephyr").split()
# Mean members of a unit list: with two unit lists named by a typical MCL, an MCL reaches
# about 1,000 people on average, whatever the size of the organisation.
MCL_LIST_SIZE = 570


class DList:
    """A distribution list of the generated directory: people (indices into the users) and
    nested lists."""

    __slots__ = ("name", "nick", "dn", "legacy_dn", "mail", "group_type", "people", "lists")

    def __init__(self, name, nick, container, base, admin_group, domain, group_type=8):
        self.name = name
        self.nick = nick
        self.dn = "CN=%s,%s,%s" % (name, container, base)
        self.mail = "%s@%s" % (nick, domain)
        self.legacy_dn = "%s/cn=Recipients/cn=%s" % (admin_group, nick.replace(".", ""))
        self.group_type = group_type
        self.people = []
        self.lists = []


def named_bool(name, value):
    return '{"set":"%s","name":%s,"type":"boolean","value":%s}' % (
        PUBLIC_STRINGS, jstr(name), "true" if value else "false")


class MclPlan:
    """The lists an organisation's MCLs name, and the MCL items themselves.

    Lists: every department's visible users cut into unit lists ("Sales Unit 03") of
    list_size members on average (half to one and a half times that); division lists whose
    members are two to four unit lists of one department (lists of lists); project lists
    drawn across departments, one per 1,000 users; a pair that contain each other
    ("Incident Response", "Incident Response Backup"); and a few key people (one per 2,000
    users) who are members of twenty to thirty lists each.

    MCLs: about 74% name one to three unit or project lists, 12% a division list, 12% a
    handful of individual people, and one the cyclic pair. About 2% are inactive, 1.5% have
    no target and 1.5% no source (at least one of each from ten MCLs on)."""

    def __init__(self, rng, users, n_mcls, list_size, domain, org):
        self.rng = rng
        self.users = users
        self.domain = domain
        self.base = ",".join("DC=" + p for p in domain.split("."))
        self.schema = "CN=Schema,CN=Configuration," + self.base
        self.admin_group = "/o=%s/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)" % org
        self.visible = [i for i, u in enumerate(users) if not u.hidden]
        self._build_lists(list_size)
        self._build_items(n_mcls)

    def _new_list(self, name, nick, container, group_type=8):
        d = DList(name, nick, container, self.base, self.admin_group, self.domain, group_type)
        self.lists.append(d)
        return d

    def _build_lists(self, list_size):
        rng = self.rng
        users = self.users
        self.lists = []
        self.units = []
        self.divisions = []
        self.projects = []
        for dept, _ in DEPARTMENTS:
            members = [i for i in self.visible if users[i].dept == dept]
            rng.shuffle_fast(members)
            slug = dept.lower().replace(" ", "")
            dept_units = []
            pos = 0
            while pos < len(members):
                size = int(list_size * (0.5 + rng.random()))
                if len(members) - pos - size < list_size // 4:
                    size = len(members) - pos  # no unit of a few people at the end
                k = len(dept_units) + 1
                d = self._new_list("%s Unit %02d" % (dept, k), "%s.unit%02d" % (slug, k),
                                   "OU=" + dept)
                d.people = members[pos:pos + size]
                dept_units.append(d)
                pos += size
            self.units.extend(dept_units)
            i = 0
            k = 0
            while len(dept_units) - i >= 2:
                g = 2 + rng.below(3)
                if len(dept_units) - i - g < 2:
                    g = len(dept_units) - i  # a single unit left over joins this division
                k += 1
                d = self._new_list("%s Division %d" % (dept, k), "%s.division%d" % (slug, k),
                                   "CN=Users", group_type=-2147483640)
                d.lists = dept_units[i:i + g]
                self.divisions.append(d)
                i += g

        n_visible = len(self.visible)
        for k in range(max(1, n_visible // 1000)):
            code = CODENAMES[k % len(CODENAMES)]
            num = k // len(CODENAMES) + 1
            d = self._new_list("Project %s %d" % (code, num),
                               "project.%s%d" % (code.lower(), num), "CN=Users")
            size = min(n_visible, int(list_size * (0.33 + 0.66 * rng.random())))
            d.people = [self.visible[j] for j in sorted(rng.sample(range(n_visible), size))]
            self.projects.append(d)

        # People in many lists: each unit and project list also has a few of these.
        key = rng.sample(self.visible, min(n_visible, max(3, n_visible // 2000)))
        for d in self.units + self.projects:
            have = set(d.people)
            for i in rng.sample(key, min(len(key), 2 + rng.below(9))):
                if i not in have:
                    d.people.append(i)
        for d in self.divisions:
            d.people = rng.sample(key, min(len(key), 1 + rng.below(3)))

        # Two lists that contain each other.
        a = self._new_list("Incident Response", "incident.response", "CN=Users")
        b = self._new_list("Incident Response Backup", "incident.response.backup", "CN=Users")
        for d in (a, b):
            d.people = rng.sample(self.visible, min(n_visible, 100 + rng.below(101)))
        a.lists = [b]
        b.lists = [a]
        self.cycle = (a, b)

    def ldif(self):
        """The lists as LDIF entries, in the conventions of the department lists."""
        users = self.users
        group_cat = "objectCategory: CN=Group,%s\n" % self.schema
        out = []
        for d in self.lists:
            out.append("dn: %s\nobjectClass: top\nobjectClass: group\ncn: %s\ndisplayName: %s\n"
                       "mail: %s\nmailNickname: %s\nproxyAddresses: SMTP:%s\n"
                       "legacyExchangeDN: %s\ngroupType: %d\n"
                       % (d.dn, d.name, d.name, d.mail, d.nick.replace(".", ""), d.mail,
                          d.legacy_dn, d.group_type))
            out.extend(ldif_line("member", users[i].dn) for i in d.people)
            out.extend("member: %s\n" % n.dn for n in d.lists)
            out.append(group_cat + "\n")
        return "".join(out)

    def reach(self, lists, people):
        """The people an MCL naming these lists and people reaches, through nested lists."""
        reached = set(people)
        seen = set()
        stack = list(lists)
        while stack:
            d = stack.pop()
            if id(d) in seen:
                continue
            seen.add(id(d))
            reached.update(d.people)
            stack.extend(d.lists)
        return reached

    def _list_ref(self, d):
        # Lists are named by display name, some by their Exchange DN.
        return d.legacy_dn if self.rng.random() < 0.15 else d.name

    def _person_ref(self, i):
        rng = self.rng
        u = self.users[i]
        r = rng.random()
        if r < 0.15:
            return u.legacy_dn
        if r < 0.20 and u.secondaries:
            return u.secondaries[rng.below(len(u.secondaries))]
        if r < 0.25:
            return u.mail.upper()
        return u.mail

    def _build_items(self, n):
        rng = self.rng
        kinds = ["cycle"] if n >= 2 else []
        n_div = round(0.12 * n)
        n_people = round(0.12 * n)
        kinds += ["division"] * n_div + ["people"] * n_people
        kinds += ["lists"] * (n - len(kinds))
        rng.shuffle_fast(kinds)
        others = [i for i, k in enumerate(kinds) if k != "cycle"]
        rng.shuffle_fast(others)

        def few(share):
            return max(1, round(share * n)) if n >= 10 else 0

        n_inactive, n_no_target, n_no_source = few(0.02), few(0.015), few(0.015)
        inactive = set(others[:n_inactive])
        no_target = set(others[n_inactive:n_inactive + n_no_target])
        no_source = set(others[n_inactive + n_no_target:n_inactive + n_no_target + n_no_source])
        self.counts = (n_inactive, n_no_target, n_no_source)

        self.items = []
        self.reached = 0
        self.people_reached = set()
        self.parsed = 0
        for idx, kind in enumerate(kinds):
            lists, people, extra = self._sources(kind)
            sep = "; " if rng.random() < 0.1 else ";"
            pieces = [self._list_ref(d) for d in lists] + [self._person_ref(i) for i in people]
            pieces += extra
            source = sep.join(pieces) + (";" if rng.random() < 0.05 else "")
            targets = []
            for _ in range(1 + rng.below(3)):
                if rng.random() < 0.5 or not self.visible:
                    targets.append(rng.pick(self.units or self.projects).name)
                else:
                    targets.append(self.users[rng.pick(self.visible)].mail)
            target = ";".join(targets)
            if idx in no_target:
                target = ""
            if idx in no_source:
                source = ""
            if idx not in inactive and target and source:
                self.parsed += 1
                reached = self.reach(lists, people)
                self.reached += len(reached)
                self.people_reached |= reached
            self.items.append(self._item(idx, kind, lists, source, target, idx in inactive))

    def _sources(self, kind):
        """Lists, people and unresolvable pieces that an MCL of this kind names."""
        rng = self.rng
        lists, people, extra = [], [], []
        if kind == "cycle":
            lists = list(self.cycle)
        elif kind == "division" and self.divisions:
            lists = [rng.pick(self.divisions)]
            # A division of two units is what a small organisation has: a unit of another
            # department beside it keeps the reach of such an MCL near that of a large one.
            if (rng.random() < 0.3 or len(lists[0].lists) < 3) and self.units:
                d = rng.pick(self.units)
                if d not in lists[0].lists:
                    lists.append(d)
        elif kind == "people" or not (self.units or self.projects):
            people = rng.sample(self.visible, min(len(self.visible), 3 + rng.below(38)))
            if rng.random() < 0.2:
                # Someone who has left: the address resolves to no Exchange entry.
                extra.append("%s.%s.left@%s" % (rng.pick(GIVEN).lower(),
                                                rng.pick(SURNAMES).lower(), self.domain))
        else:  # "lists", or "division" in an organisation too small to have divisions
            k = 1 + (rng.random() >= 0.3) + (rng.random() >= 0.57)
            while len(lists) < k:
                pool = self.projects if rng.random() < 0.2 or not self.units else self.units
                d = rng.pick(pool)
                if d not in lists:
                    lists.append(d)
                if len(lists) >= len(self.units) + len(self.projects):
                    break
            if rng.random() < 0.2:
                people = rng.sample(self.visible, min(len(self.visible), 1 + rng.below(3)))
        return lists, people, extra

    def _item(self, idx, kind, lists, source, target, inactive):
        rng = self.rng
        what = {"cycle": "incident response rota", "people": "named contacts"}.get(
            kind, " + ".join(d.name for d in lists) or "named contacts")
        subject = "MCL %03d: %s" % (idx + 1, what)
        if rng.random() < 0.03:
            subject += ", field staff; mobile"  # "," and ";" in a name are replaced on reading
        guid = "{%08X-%04X-%04X-%04X-%012X}" % (rng.below(1 << 32), rng.below(1 << 16),
                                                 rng.below(1 << 16), rng.below(1 << 16),
                                                 rng.below(1 << 48))
        props = [named("ZOR.Guid", guid), named("MCL Source Email", source),
                 named("MCL Target Email", target),
                 named("MCL Description", "Contacts of %s for %s" % (what, target or "nobody"))]
        r = rng.random()
        if r < 0.9:
            props.append(named_bool("PDL.PIN", True))
        elif r < 0.95:
            props.append(named_bool("PDL.PIN", False))
        r = rng.random()
        if r < 0.85:
            props.append(named_bool("MCL.IncludeDLs", True))
        elif r < 0.95:
            props.append(named_bool("MCL.IncludeDLs", False))
        # else: missing, which reads as True
        if inactive:
            props.append(named_bool("QAV.Inactive", True))
        elif rng.random() < 0.7:
            props.append(named_bool("QAV.Inactive", False))
        when = BASE_EPOCH - rng.below(TWO_YEARS)
        return ('{"class":"%s","subject":%s,"lastModified":"%s","named":[%s]}'
                % (MCL_CLASS, jstr(subject), iso(when), ",".join(props)))

    def summary(self):
        n_inactive, n_no_target, n_no_source = self.counts
        return ("%d lists (%d unit, %d division, %d project, 2 in a cycle), %d MCLs (%d parsed; "
                "%d inactive, %d without target, %d without source), %d contacts reached "
                "(people each parsed MCL reaches, summed over MCLs), %d distinct people"
                % (len(self.lists), len(self.units), len(self.divisions), len(self.projects),
                   len(self.items), self.parsed, n_inactive, n_no_target, n_no_source,
                   self.reached, len(self.people_reached)))



# Query-based lists (--qdls). Like the MCLs they draw from a random stream of their own and
# only add to the organisation, so that the same seed without the option gives the same bytes.

# Exchange writes a query-based list's filter with the recipient conditions first; the last
# conditions keep system mailboxes out. "(!cn=SystemMailbox{*})" is the bare negation that
# Active Directory accepts and RFC 4515 does not, as stored filters carry it.
QDL_MAILBOXES = ("(&(objectClass=user)(objectCategory=person)(mailNickname=*)"
                 "(msExchHomeServerName=*)%s(!cn=SystemMailbox{*})"
                 "(!(msExchRecipientTypeDetails=16777216)))")


class QdlPlan:
    """Query-based (dynamic) distribution lists and the MCL items that name them.

    Lists: "Everyone", whose filter reaches every mailbox user (and the agent's own mailbox),
    and one "<Department> Staff" list per department, whose filter adds the department. Half
    of the department lists keep the domain as their base DN, the other half none (their
    filter runs from the forest root); "Everyone" keeps the domain.

    MCLs: the first names "Everyone", then one per department names that department's list.
    The first creates one SourceMCL record per mailbox user; each later one adds its
    identifier to the records of its department."""

    def __init__(self, rng, users, domain, org, first_number):
        self.rng = rng
        self.base = ",".join("DC=" + p for p in domain.split("."))
        self.schema = "CN=Schema,CN=Configuration," + self.base
        admin_group = "/o=%s/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)" % org
        # (name, nickname, filter, base DN or "")
        self.lists = [("Everyone", "everyone", QDL_MAILBOXES % "", self.base)]
        for k, (dept, _) in enumerate(DEPARTMENTS):
            slug = dept.lower().replace(" ", "")
            self.lists.append(("%s Staff" % dept, "%s.staff" % slug,
                               QDL_MAILBOXES % ("(department=%s)" % dept),
                               self.base if k % 2 == 0 else ""))
        self.admin_group = admin_group
        self.domain = domain
        # The agent's own account is a mailbox user as well.
        mailboxes = len(users) + 1
        dept_sizes = {d: 0 for d, _ in DEPARTMENTS}
        for u in users:
            if u.dept:
                dept_sizes[u.dept] += 1
        self.rows = [mailboxes] + [dept_sizes[d] for d, _ in DEPARTMENTS]
        self.distinct = mailboxes
        teams = ["%s Team" % d for d, _ in DEPARTMENTS]
        self.items = []
        for k, (name, nick, _, _) in enumerate(self.lists):
            # Named by display name or by address, as administrators name lists.
            source = name if k % 2 else "%s@%s" % (nick, domain)
            targets = [rng.pick(teams)]
            if rng.random() < 0.5:
                targets.append(users[rng.below(len(users))].mail)
            self.items.append(self._item(first_number + k, name, source, ";".join(targets)))

    def ldif(self):
        cat = "objectCategory: CN=ms-Exch-Dynamic-Distribution-List,%s\n" % self.schema
        out = []
        for name, nick, flt, base_dn in self.lists:
            plain = nick.replace(".", "")
            out.append("dn: CN=%s,CN=Users,%s\nobjectClass: top\n"
                       "objectClass: msExchDynamicDistributionList\ncn: %s\ndisplayName: %s\n"
                       "mail: %s@%s\nmailNickname: %s\nproxyAddresses: SMTP:%s@%s\n"
                       "legacyExchangeDN: %s/cn=Recipients/cn=%s\nmsExchDynamicDLFilter: %s\n"
                       % (name, self.base, name, name, nick, self.domain, plain, nick,
                          self.domain, self.admin_group, plain, flt))
            if base_dn:
                out.append("msExchDynamicDLBaseDN: %s\n" % base_dn)
            out.append(cat + "\n")
        return "".join(out)

    def _item(self, number, name, source, target):
        rng = self.rng
        guid = "{%08X-%04X-%04X-%04X-%012X}" % (rng.below(1 << 32), rng.below(1 << 16),
                                                 rng.below(1 << 16), rng.below(1 << 16),
                                                 rng.below(1 << 48))
        props = [named("ZOR.Guid", guid), named("MCL Source Email", source),
                 named("MCL Target Email", target),
                 named("MCL Description", "Contacts of %s for %s" % (name, target)),
                 named_bool("PDL.PIN", True), named_bool("MCL.IncludeDLs", True),
                 named_bool("QAV.Inactive", False)]
        when = BASE_EPOCH - rng.below(TWO_YEARS)
        return ('{"class":"%s","subject":%s,"lastModified":"%s","named":[%s]}'
                % (MCL_CLASS, jstr("MCL %03d: %s (query-based list)" % (number, name)),
                   iso(when), ",".join(props)))

    def summary(self):
        return ("%d query-based lists (1 of every mailbox user, %d of a department), %d MCLs; "
                "rows of each list: %s; %d contacts reached (rows summed over the MCLs), "
                "%d distinct people"
                % (len(self.lists), len(self.lists) - 1, len(self.items),
                   " ".join(str(r) for r in self.rows), sum(self.rows), self.distinct))

def write_mailbox(path, rng, users, org, domain, store_name, mcl_items=()):
    msgs = build_registrations(rng, users, org, domain)
    reg_path = "\\\\%s\\velkora Agent\\Registrations" % store_name
    mc_path = "\\\\%s\\velkora Agent\\Mandatory Contacts" % store_name
    settings = ('{"class":"velkora.Agent","subject":"velkoraAgent","lastModified":"%s",'
                '"named":[%s]}' % (iso(BASE_EPOCH - 86400 * 400), ",".join(
                    named(k, v) for k, v in (("HHPath", reg_path), ("HHEntryID", ""),
                                             ("MCPath", mc_path), ("MCEntryID", "")))))
    parts = [
        '{\n"displayName":%s,\n"root":{"name":"","folders":[\n' % json.dumps(store_name),
        '{"name":"Top of Information Store","folders":[\n',
        '{"name":"Inbox"},\n{"name":"velkora Agent","folders":[\n',
        '{"name":"Registrations","messages":[\n',
        ",\n".join(msgs),
        '\n]},\n',
        ('{"name":"Mandatory Contacts","messages":[\n%s\n]}' % ",\n".join(mcl_items)
         if mcl_items else '{"name":"Mandatory Contacts"}'),
        '\n]}\n]},\n',
        '{"name":"velkoraAgentInfo","folders":[{"name":"velkoraUserInfo"}],"messages":[\n',
        settings,
        "\n]}\n]}\n}\n",
    ]
    write_text(path, "".join(parts))
    return len(msgs)


def write_public(path):
    write_text(path, '{\n"displayName":"Public Folders",\n"publicFolders":true,\n'
                     '"root":{"name":"","folders":[{"name":"All Public Folders"}]}\n}\n')


def write_registry(path, server, alias):
    lines = [
        "Windows Registry Editor Version 5.00",
        "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\velkora\\velkoraAgent]",
        '"ExServer"="%s"' % server,
        '"ExAlias"="%s"' % alias,
        '"PollMinutes"=dword:0000000f',
        "",
    ]
    data = "\ufeff" + "\r\n".join(lines) + "\r\n"
    with open(path, "wb") as f:
        f.write(data.encode("utf-16-le"))


def write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--users", type=int, required=True, help="number of mailbox users")
    p.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    p.add_argument("--out", required=True, help="host folder to write (created if missing)")
    p.add_argument("--server", default="EXCH01", help="Exchange server name (default EXCH01)")
    p.add_argument("--alias", default="qavagent", help="agent mailbox alias (default qavagent)")
    p.add_argument("--org", default="Litware", help="organisation name (default Litware)")
    p.add_argument("--domain", default="litware.test", help="mail domain (default litware.test)")
    p.add_argument("--no-public", action="store_true", help="do not write public.json")
    p.add_argument("--mcls", type=int, default=0, metavar="N",
                   help="write N mandatory contact lists (default 0: none, and the output is "
                        "what it was before MCLs existed). Adds unit, division, project and "
                        "cyclic distribution lists to the directory and N IPM.Post.MCL items "
                        "to the mandatory-contacts folder. An MCL reaches about 1,000 people "
                        "on average (fewer where the departments are smaller than two lists), "
                        "so the total is about 1,000 x N: N = users x 3 / 1,000 gives 30 MCLs "
                        "and ~30,000 contacts for 10,000 users, 300 and ~300,000 for 100,000. "
                        "A summary line goes to standard error")
    p.add_argument("--mcl-list-size", type=int, default=MCL_LIST_SIZE, metavar="M",
                   help="mean members of a unit list (default %d); the reach of an MCL "
                        "grows with it" % MCL_LIST_SIZE)
    p.add_argument("--qdls", action="store_true",
                   help="add query-based distribution lists: one whose filter reaches every "
                        "mailbox user (about as many rows as users) and one per department, "
                        "and one IPM.Post.MCL item naming each (after the --mcls items). "
                        "A summary line goes to standard error")
    a = p.parse_args(argv)
    if a.users < 1:
        p.error("--users must be at least 1")
    if a.mcls < 0 or a.mcls > 32767:
        p.error("--mcls must be between 0 and 32767")
    if a.mcl_list_size < 4:
        p.error("--mcl-list-size must be at least 4")
    for name in (a.server, a.alias):
        if not name or "/" in name or "\\" in name or name in (".", ".."):
            p.error("server and alias must be plain names")

    rng = Rng(a.seed)
    server_dir = os.path.join(a.out, "exchange", a.server)
    os.makedirs(os.path.join(server_dir, "mailboxes"), exist_ok=True)
    users = build_users(rng, a.users, a.domain, a.org)
    mcl = None
    if a.mcls:
        mcl = MclPlan(Rng("mcl:%d" % a.seed), users, a.mcls, a.mcl_list_size, a.domain, a.org)
    qdl = None
    if a.qdls:
        qdl = QdlPlan(Rng("qdl:%d" % a.seed), users, a.domain, a.org,
                      len(mcl.items) + 1 if mcl else 1)
    tails = [t.ldif for t in (mcl, qdl) if t]
    write_registry(os.path.join(a.out, "registry.reg"), a.server, a.alias)
    write_ldif(os.path.join(server_dir, "directory.ldif"), users, a.domain, a.org, a.server,
               a.alias, rng, tail=(lambda: "".join(t() for t in tails)) if tails else None)
    items = (list(mcl.items) if mcl else []) + (qdl.items if qdl else [])
    count = write_mailbox(os.path.join(server_dir, "mailboxes", a.alias + ".json"), rng, users,
                          a.org, a.domain, "Mailbox - QAV Agent", mcl_items=items)
    if not a.no_public:
        write_public(os.path.join(server_dir, "public.json"))
    print("%d users, %d registration messages -> %s" % (a.users, count, a.out), flush=True)
    if mcl:
        print("mcls: " + mcl.summary(), file=sys.stderr)
    if qdl:
        print("qdls: " + qdl.summary(), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
