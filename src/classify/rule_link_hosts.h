// Written by the rule_link_hosts stage of scripts/train-defaults.sh from
// the training groups of the mail corpus; do not edit by hand. Included
// by the rule tables only.
#pragma once

// Hosts of redirectors that bulk mail links through (rule 620).
#define HALVORN_RULE_620_TEXT "/https?:\\/\\/([a-z0-9-]+\\.)*(?:answer\\-us\\.com|emaserver\\.trafficmagnet\\.net|global\\.zenmarketing\\.net|n62\\.go2net\\.com|p1j2m3a4\\.pdhost\\.com)\\b/i"
// Hosts linked from mail that cites the bill (rule 133).
#define HALVORN_RULE_133_TEXT "/https?:\\/\\/([a-z0-9-]+\\.)*(?:offersrus\\.net)\\b/i"
// Advertised web sites, one per rule (600, 602 to 607).
#define HALVORN_RULE_600_NAME IIQ_URL
#define HALVORN_RULE_600_TEXT "/\\biiq.us\\b/i"
#define HALVORN_RULE_602_NAME INSURANCEIQ_URL
#define HALVORN_RULE_602_TEXT "/\\binsuranceiq.com\\b/i"
#define HALVORN_RULE_603_NAME ADMANMAIL_URL
#define HALVORN_RULE_603_TEXT "/\\badmanmail.com\\b/i"
#define HALVORN_RULE_604_NAME THEADMANAGER_URL
#define HALVORN_RULE_604_TEXT "/\\btheadmanager.com\\b/i"
#define HALVORN_RULE_605_NAME ADCLICK_URL
#define HALVORN_RULE_605_TEXT "/\\badclick.ws\\b/i"
#define HALVORN_RULE_606_NAME QVES_URL
#define HALVORN_RULE_606_TEXT "/\\bqves.com\\b/i"
#define HALVORN_RULE_607_NAME CENTRALREMOVALSERVICE_URL
#define HALVORN_RULE_607_TEXT "/\\bcentralremovalservice.com\\b/i"
