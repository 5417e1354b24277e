#!/usr/bin/python3
"""A model of the two tests that judge a message by the central service's
match records alone (the category check and the uniqueness check), written
from their description: the oracle the C++ classes are compared with on
random record arrays.

Standard input: a JSON list of cases, each
  {"records": [{kind, times, counts: [9 votes], staff, item, extra, common,
                missing}, ...],          in the message's order
   "attachments": {"<checksum>": "<name>"},   the message's image attachments
   "category": {MsgCategory, CategorizedBy, MinWeight, MinMatch, MinVotes},
   "uniqueness": {MinWeight, MinMatch, MinVotes},
   "name": test name}
Standard output, per case: "C <result 0|1> <standard tests 682 to 689>", the
category check's explanation lines each after "L ", then "U <result>
<standard tests 691 to 705>" and the uniqueness check's lines, then "=".
Standard tests are letters: y yes, n no, u not recorded. Lines are the
explanation as the tests publish it: the headline first, each line after
"<br>" (the headline only when lines follow it).
"""
import json
import math
import sys

NAMES = ["Unknown", "Chain Letter", "Petition", "Urban Legend", "Bulk", "Hoax", "Joke",
         "Virus", "Commercial Spam", "Personal"]
NO_INFO = "No information on this email was returned by the Quorvantis server."


def category_name(c):
    c &= 0x7F
    return NAMES[c] if c <= 9 else NAMES[0]


def overlap(r):
    """common / (common + extra + missing) of a message match; 0 otherwise."""
    if r["kind"] != 1:
        return 0.0
    common, extra, missing = r["common"], r["extra"], r["missing"]
    if common < 0 or extra < 0 or missing < 0:
        return 0.0
    total = common + extra + missing
    return common / float(total) if total else 0.0


def votes(r, category):
    c = category & 0x7F
    return r["counts"][c - 1] if 1 <= c <= 9 else 0


def reaches(r, min_match):
    return overlap(r) >= min_match / 100.0


def weighted(records, category, threshold):
    c = category & 0x7F
    if not 1 <= c <= 9:
        return 0
    total = 0.0
    for r in records:
        o = overlap(r)
        if r["kind"] == 1 and threshold <= o:
            total += o * r["counts"][c - 1]
    value = total * 100
    return 65535 if value >= 65535 else int(value)


def repetition_factor(records):
    for r in records:
        if r["kind"] == 3:
            return r["item"] / r["times"] if r["times"] > 0 else 0.0
    return 0.0


def close(check, name, result, lines):
    head = "email %s %s \"%s\".<br>" % ("passed" if result else "failed", check, name)
    return {"result": result,
            "lines": [("<br>" if lines else "") + head] + ["<br>" + l for l in lines]}


def judge_category(case):
    s = case["category"]
    records, name = case["records"], case["name"]
    cat, by = s["MsgCategory"], s["CategorizedBy"]
    min_weight, min_match, min_votes = s["MinWeight"], s["MinMatch"], s["MinVotes"]
    cname = category_name(cat)
    lines, standard = [], {}

    def run():
        if not records:
            lines.append(NO_INFO)
            return False
        for r in records:
            if reaches(r, min_match):
                for c in range(1, 9):
                    standard[str(681 + c)] = "y" if r["staff"] == c else "n"
                break
        if cat == 7:
            if not case["attachments"]:
                lines.append("No attachment information was found.")
            else:
                for r in records:
                    if r["kind"] != 2:
                        continue
                    line = "Attachment \"%s\"" % case["attachments"].get(
                        str(r["item"] & 0xFFFFFFFF), "")
                    virus = r["counts"][6]
                    if by != 0 and virus >= min_votes:
                        lines.append(line + " has been categorized by users as a virus %d times."
                                     % virus)
                        return True
                    if by != 1 and r["staff"] == 7:
                        lines.append(line + " has been categorized by Quorvantis as a virus.")
                        return True
                    lines.append(line)
        if by != 0:
            if min_weight <= 0:
                matched = [r for r in records if reaches(r, min_match)]
                total = sum(votes(r, cat) for r in matched)
                said = "This email has been categorized by users as a %s %d times" % (cname, total)
                if total >= min_votes:
                    lines.append(said + ".")
                    lines.append("There were a total of %d email that matched this email within "
                                 "%d%%" % (len(matched), min_match))
                    return True
                lines.append(said + ", which is below the minimum threshold value of %d."
                             % min_votes)
            else:
                weight = weighted(records, cat, 0.25)
                if weight >= min_weight:
                    lines.append("This email has been categorized by users as a %s with a weight "
                                 "of %d." % (cname, weight))
                    return True
                lines.append("This weight given to category %s by users is %d, which is below "
                             "the minimum threshold value of %d." % (cname, weight, min_weight))
        if by != 1:
            for r in records:
                if reaches(r, min_match) and r["staff"] == cat:
                    lines.append("This email has been categorized by Quorvantis as a %s." % cname)
                    return True
            lines.append("This email has NOT been categorized by Quorvantis as a %s." % cname)
        return False

    out = close("Quorvantis Category Check", name, run(), lines)
    out["standard"] = standard
    return out


def judge_uniqueness(case):
    s = case["uniqueness"]
    records, name = case["records"], case["name"]
    min_weight, min_match, min_votes = s["MinWeight"], s["MinMatch"], s["MinVotes"]
    lines, standard = [], {}

    def run():
        if not records:
            lines.append(NO_INFO)
            return False
        strong = sum(r["times"] for r in records if overlap(r) >= 0.9)
        for k in range(15):
            standard[str(691 + k)] = "y" if strong >= 2 ** k else "n"
        factor = repetition_factor(records)
        if min_weight > 0:
            said = "This email has a repetition factor of %d" % math.trunc(factor)
            if factor >= min_weight:
                lines.append(said + ".")
                return True
            lines.append(said + ", which is below the minimum threshold value of %d."
                         % min_weight)
            return False
        matched = [r for r in records if reaches(r, min_match)]
        seen = sum(r["times"] for r in matched)
        if seen < min_votes:
            lines.append("This email has been seen %d times, which is below the minimum "
                         "threshold value of %d." % (seen, min_votes))
            return False
        lines.append("%d email have been seen that match this email within %d%% (%d different "
                     "email total)" % (seen, min_match, len(matched)))
        return True

    out = close("Quorvantis Uniqueness Check", name, run(), lines)
    out["standard"] = standard
    return out


def render(tag, out, first, last):
    letters = "".join(out["standard"].get(str(n), "u") for n in range(first, last + 1))
    print("%s %d %s" % (tag, out["result"], letters))
    for line in out["lines"]:
        print("L " + line)


def main():
    for case in json.load(sys.stdin):
        render("C", judge_category(case), 682, 689)
        render("U", judge_uniqueness(case), 691, 705)
        print("=")


if __name__ == "__main__":
    main()
