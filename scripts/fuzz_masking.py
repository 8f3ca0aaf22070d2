"""Random own rules (PCRE2 syntax included) between built-in ones: the literal scan against the exact chain.

Prints every text on which ``mask_text`` and ``mask_text(..., exact=True)`` disagree, and a count.
Usage (from the checkout root): .venv/bin/python scripts/fuzz_masking.py [seed] [patterns]
"""
import random
import sys

from vorn_core.masking import CompiledMaskingRule, MaskingRuleError, mask_text, BuiltInMaskingRule
rng = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
ATOMS = ["a","b","k","K","\u212a","\u017f","s","é","-","\\.","@",":","=","'",'"',"\\w","\\W","\\s","\\d",".","[ab]","[a-]","[^a]","[ \\t]","\\h","\\R","\\X","\\N","\\p{L}","\\x{41}","\\x41","\\n","\\t","\\\\","\\b","\\B","^","$","\\A","\\Z","\\z","(?=a)","(?!b)","(?<=a)","(?<!b)","(?<=ab)","\\1","\\K","(*SKIP)","(*FAIL)","(?#c)","(?i)","(?-i)","{","}","]","\\Q.\\E","\\G","\\C","(?R)","(?1)","(*ACCEPT)","(?C)","\\g{1}","\\k<n>","(?P=n)","(?x) a","(?s)","(?m)","#"," ","\\ ","(?-x)","(?^)","\\E","(?<=\\w)","(?<!\\s)","[]a]","[^]a]","[\\]]","\\x{212a}","(?i)k","\\ca","\\o{101}","\\101","\\0"]
QS = ["","","","?","*","+","{2}","{1,3}","{,2}","{2,}","+?","*+","?+","{1,3}?"]
GROUPS = ["(?:{})","({})","(?i:{})","(?:{}|{})","(?>{})","(?|{}|{})","(?P<g>{})","(?(1){}|{})","(?<n>{})"]
def pat(d=0):
    out=[]
    for _ in range(rng.randint(1,4)):
        if d<2 and rng.random()<0.25:
            g=rng.choice(GROUPS); out.append(g.format(pat(d+1),pat(d+1))+rng.choice(["","?","*","+","{1,2}"]))
        else:
            out.append(rng.choice(ATOMS)+rng.choice(QS))
    return "".join(out)
TEXT = ["a","b","k","K","\u212a","\u017f","s","S","é","É","ab","ba","-",".","@",":","=","'",'"'," ","\t","\n","1","x","\ud800","\u0169","sk-","@x.io"]
def text(n):
    return "".join(rng.choice(TEXT) for _ in range(n))
bad=0; runs=0
for i in range(int(sys.argv[2]) if len(sys.argv)>2 else 3000):
    p1,p2=pat(),pat()
    try:
        rules=[CompiledMaskingRule("A",p1), CompiledMaskingRule.from_masking_rule(BuiltInMaskingRule.EMAIL), CompiledMaskingRule("B",p2)]
    except Exception:
        continue
    for n in (5, 40, 400):
        t=text(n)
        if rng.random()<0.5: t="".join(c for c in t if c<"\x80")
        try:
            e=mask_text(t,rules,exact=True)
        except MaskingRuleError:
            continue
        try:
            f=mask_text(t,rules)
        except MaskingRuleError as ex:
            print("FAST FAILED", repr(p1), repr(p2), repr(t), ex); bad+=1; continue
        runs+=1
        if e!=f:
            bad+=1; print("DIFF", repr(p1), repr(p2), repr(t)[:200], repr(e)[:200], repr(f)[:200])
            if bad>5: sys.exit(1)
print("runs", runs, "bad", bad)
