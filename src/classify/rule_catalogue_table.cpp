// The rule catalogue's one table: every rule's name, points and description,
// in number order. The enumeration, the name table, the points and the
// descriptions are all made from this list.
//
// The names of rules 600 and 602 to 607 come from the link hosts the rules
// look for (rule_link_hosts.h, written by scripts/rule-link-hosts.sh).
#include <array>
#include <cstddef>

#include "classify/rule_catalogue.h"
#include "classify/rule_link_hosts.h"

namespace halvorn {

// X(name, points, description) for every rule, in number order.
#define HALVORN_RULE_CATALOGUE(X) \
  X(SK_BAD_MS_HEADERS, 2.139, "Doesn't look like MS headers should") \
  X(SK_GOOD_MS_HEADERS, -2.139, "looks like MS headers should") \
  X(SA_BAD_MS_MSGID_BOUND, 10, "Message id or boundary contains bad values") \
  X(SA_GOOD_MS_MSGID_BOUND, -10, "Message id or boundary contains good values") \
  X(REMOVE_SUBJ, 3.435, "Asks you to send a reply with remove in the subject") \
  X(SUBJ_REMOVE, -0.823, "Tells you to put a word in the subject to unsubscribe") \
  X(REPLY_REMOVE_SUBJECT, 0.731, "Asks you to reply to be removed from the list") \
  X(REMOVE_IN_QUOTES, 2.602, "Asks for the word remove in quotes") \
  X(JAVASCRIPT, 1.524, "HTML holds a script") \
  X(REALLY_UNSAFE_JAVASCRIPT, 3.338, "HTML runs a script when the page loads or closes") \
  X(SLIGHTLY_UNSAFE_JAVASCRIPT, 0.693, "HTML runs a script on a user event") \
  X(HTML_WITH_BGCOLOR, 1.346, "HTML sets a background colour for the page") \
  X(BIG_FONT, 2.056, "HTML uses a large font") \
  X(SPAM_FORM, 0.218, "Form left unchanged from a bulk-mail template") \
  X(SPAM_FORM_RETURN, 3.205, "HTML form checks its fields with a script") \
  X(SPAM_FORM_INPUT, 1.0, "HTML form submits its contents by mail") \
  X(BUGGY_CGI, 3.368, "Text left over from a broken form-to-mail script") \
  X(BUGGY_CGI_DE, 4, "German template text from a broken form script") \
  X(BUGGY_CGI_DE_2, 4, "German template text from a broken form script") \
  X(BUGGY_CGI_DE_3, 4, "German template text from a broken form script") \
  X(BUGGY_CGI_ES, 1.0, "Spanish template text from a broken form script") \
  X(BUGGY_CGI_PT_2, 1.0, "Portuguese template text from a broken form script") \
  X(BUGGY_CGI_PT, 4, "Portuguese template text from a broken form script") \
  X(SENT_IN_COMPLIANCE, 1.182, "Claims to be sent in compliance with the law") \
  X(PARA_A_2_C_OF_1618, 2.187, "Quotes a paragraph of the proposed anti-spam bill") \
  X(BILL_1618, 4.609, "Cites the proposed anti-spam bill by number") \
  X(S_1618, 1.413, "Cites the Senate's proposed anti-spam bill") \
  X(SECTION_301, 2.823, "Cites section 301 of the proposed anti-spam bill") \
  X(EU_EMAIL_OPTOUT, 1.8, "Claims the European e-mail opt-out rules allow it") \
  X(EU_200_32_CE, 1.0, "Cites the European directive on electronic communications") \
  X(POPLAUNCH, 2.069, "Mentions a pop-up advertising program") \
  X(CHECK_OR_MONEY_ORDER, 4.465, "Asks for payment by check or money order") \
  X(SUPERLONG_LINE, 0.384, "Has a very long line of text") \
  X(ASCII_FORM_ENTRY, 0.5, "Has a form to fill in by hand") \
  X(PRINT_OUT_AND_FAX, 1.0, "Asks you to print a form and fax it") \
  X(AMAZING, 2.764, "Calls something amazing") \
  X(GUARANTEE, 1.5, "Offers a GUARANTEE in capitals") \
  X(PROFITS, 1.809, "Talks of big profits") \
  X(NO_QS_ASKED, 2.413, "Promises no questions asked") \
  X(FULL_REFUND, 2.335, "Promises a full refund") \
  X(FOR_FREE, 1.127, "Offers something for free") \
  X(ONE_HUNDRED_PC_FREE, 3.422, "Offers something completely free") \
  X(NO_COST, 1.938, "Says something costs nothing") \
  X(ONE_HUNDRED_PC_GUAR, 0.587, "Promises a complete guarantee") \
  X(MONEY_MAKING, 2.5, "Talks about making money") \
  X(BULK_EMAIL, 0.884, "Talks about bulk e-mail") \
  X(DEAR_EMAIL, 2.35, "Greets the reader by e-mail address") \
  X(SK_MULT_SPACES_SUBJ, 3.092, "Subject contains runs of blanks") \
  X(CASHCASHCASH, 2.394, "Repeats a word about cash") \
  X(CALL_NOW, 4.732, "Urges you to call now") \
  X(CALL_FREE, 0.687, "Invites you to call free of charge") \
  X(ONLINE_BIZ_OPS, 1.0, "Offers online business opportunities") \
  X(BILLION_DOLLARS, 3.06, "Talks about billions of dollars") \
  X(OPT_IN, 2.085, "Mentions opting in") \
  X(DIRECT_EMAIL, 3.294, "Talks about direct e-mail marketing") \
  X(MASS_EMAIL, 0.946, "Talks about mass e-mailing") \
  X(EMAIL_MARKETING, 0.259, "Talks about e-mail marketing") \
  X(PRODUCED_AND_SENT_OUT, 4.46, "Claims the message was produced and sent by a bulk mailer") \
  X(INCREASE_SOMETHING, 0.399, "Promises to increase your sales or traffic") \
  X(ONE_TIME_MAILING, 2.464, "Claims this is a one-time mailing") \
  X(SOCIAL_SEC_NUMBER, 3.329, "Mentions social security numbers") \
  X(TRACE_BY_SSN, 0.545, "Offers to trace people by their social security number") \
  X(INTL_EXEC_GUILD, 0.781, "Invites you into an international executive guild") \
  X(ANOTHER_NET_AD, 3, "Says it is another internet advertisement") \
  X(LASER_PRINTER, 3.9, "Sells laser printer supplies") \
  X(BRAND_NEW_PAGER, 4.9, "Offers a brand new pager") \
  X(ADDRESSES_ON_CD, 4.464, "Sells lists of e-mail addresses on a disc") \
  X(SHOES_GUY, 6.8, "Sells shoes in bulk") \
  X(EXCUSE_1, 2.329, "Claims you asked to be on its list") \
  X(EXCUSE_2, 3.073, "Claims your address was on a list of people who asked for mail") \
  X(EXCUSE_3, 1.0, "Claims it is not spam because you agreed to receive it") \
  X(EXCUSE_4, 2.896, "Claims you or someone on your behalf visited a site") \
  X(EXCUSE_5, 1.8, "Claims your address was gathered from a public source") \
  X(EXCUSE_6, 2.18, "Says you will not receive this again") \
  X(EXCUSE_7, 1.305, "Claims the message was sent only once") \
  X(EXCUSE_8, 4.4, "Claims your address was found by a search") \
  X(EXCUSE_9, 1.0, "Claims you are on a list of people who want offers") \
  X(EXCUSE_10, 0.365, "Claims you or a friend put your address on its list") \
  X(EXCUSE_11, 1.68, "Claims to have your permission to write") \
  X(EXCUSE_12, 2.904, "Claims it is easy to be taken off its list") \
  X(EXCUSE_13, 0.15, "Says you may be removed at any time") \
  X(EXCUSE_14, 0.402, "Claims you agreed to receive offers") \
  X(EXCUSE_15, 0.484, "Apologises in case the mail is unwanted") \
  X(EXCUSE_16, -0.721, "Says you receive the newsletter because you subscribed") \
  X(EXCUSE_17, 3.7, "Says it honours remove requests") \
  X(EXCUSE_18, 1.0, "Says it does not wish to send unwanted mail") \
  X(GREEN_EXCUSE_1, 3.116, "Claims to save paper by writing instead of posting a letter") \
  X(GREEN_EXCUSE_2, 3.831, "Claims to save trees by sending e-mail") \
  X(VIAGRA, 4.666, "Sells a potency drug") \
  X(NATURAL_VIAGRA, 1.0, "Sells a natural potency remedy") \
  X(HERBAL_VIAGRA, 1.0, "Sells a herbal potency remedy") \
  X(VIGORA, 1.0, "Sells a potency drug by a misspelt name") \
  X(TARGETED, 1.0, "Claims its mail is targeted") \
  X(YOU_HAVE_BEEN_SELECTED, 4.221, "Says you have been selected") \
  X(FREE_PRIORITY_MAIL, 0.718, "Offers free priority mail delivery") \
  X(LIMITED_TIME_ONLY, 4.303, "Offers something for a limited time only") \
  X(STRONG_BUY, 4.052, "Recommends a stock as a strong buy") \
  X(WE_HONOR_ALL, 4.283, "Says it accepts all credit cards") \
  X(FILTERED_BY_WORLDREMOVE, 2.626, "Says the list was cleaned by a removal service") \
  X(COMMUNIGATE, 2.596, "Sent by a mail server often used for bulk mail") \
  X(AUTO_EMAIL_REMOVAL, 1.75, "Offers automatic removal by e-mail") \
  X(SK_RAND_SUBJ_1, 1.0, "Subject looks like random letters") \
  X(PORN_6, 1.0, "Talks about explicit pictures") \
  X(TRACKER_ID, 4.332, "Has a long tracking identifier") \
  X(MARKUP_RAND, 1.0, "Holds a mail-merge field left unfilled") \
  X(MARKUP_SSPL, 1.0, "Holds a bulk mailer's placeholder text") \
  X(OPPORTUNITY, 1.0, "Talks about an opportunity") \
  X(PURE_PROFIT, 4.129, "Promises pure profit") \
  X(STOCK_PICK, 3.781, "Offers a stock pick") \
  X(STOCK_ALERT, 2.965, "Sends a stock alert") \
  X(MICRO_CAP_WARNING, 3.663, "Warns about investing in small companies") \
  X(INVESTOR_SPEC_SHEET, 3.046, "Sends an investor's sheet about a stock") \
  X(FREE_CONSULTATION, 4.184, "Offers a free consultation") \
  X(LARGE_HEX, 2.5, "Holds a long run of hexadecimal digits") \
  X(WANTS_CREDIT_CARD, 4.288, "Asks for your credit card number") \
  X(ASKS_BILLING_ADDRESS, -0.152, "Mentions a billing address") \
  X(CYBER_FIRE_POWER, 3.5, "Talks about cyber fire power") \
  X(UPPERCASE_25_50, 1.937, "message body is 25-50% uppercase") \
  X(UPPERCASE_50_75, 2.972, "Message body is 50-75% uppercase") \
  X(UPPERCASE_75_100, 2.99, "Message body is mostly uppercase") \
  X(LINES_OF_YELLING, -0.036, "A WHOLE LINE OF YELLING DETECTED") \
  X(LINES_OF_YELLING_2, 0.068, "Two whole lines of yelling") \
  X(LINES_OF_YELLING_3, 0.478, "Three or more whole lines of yelling") \
  X(BASE64_ENC_TEXT, 4.062, "Message text disguised using base-64 encoding") \
  X(MIME_EXCESSIVE_QP, 2.43, "Much of the text is needlessly quoted-printable") \
  X(MIME_HTML_NO_CHARSET, 0.5, "HTML part does not say its character set") \
  X(MIME_LONG_LINE_QP, 0.7, "Quoted-printable line longer than the standard allows") \
  X(MIME_MISSING_BOUNDARY, 3.887, "A multipart boundary is missing") \
  X(MICROSOFT_EXECUTABLE, 0.1, "Has an executable attachment") \
  X(MIME_SUSPECT_NAME, 0.1, "An attachment's name does not match its type") \
  X(JUST_MAILED_PAGE, 0.2, "Holds a web page saved from a browser") \
  X(CLICK_HERE_LINK, 0.847, "Has a click-here link") \
  X(CLICK_BELOW, 1.531, "Asks you to click here or below") \
  X(MURKOWSKI_CRUFT, 1.4, "Links to a host that mail citing the anti-spam bill uses") \
  X(PRINT_FORM_SIGNATURE, 4.558, "Asks for a signature on a printed form") \
  X(MAIL_IN_ORDER_FORM, 4.8, "Offers an order form to send by post") \
  X(FOR_INSTANT_ACCESS, 2.996, "Offers instant access") \
  X(NO_SELLING, 1.489, "Claims there is no selling involved") \
  X(UNIVERSITY_DIPLOMAS, 2.468, "Sells university diplomas") \
  X(PREST_NON_ACCREDITED, 3.5, "Offers degrees from non-accredited universities") \
  X(NEW_DOMAIN_EXTENSIONS, 4.255, "Sells new top-level domain names") \
  X(SK_DIALUP_PTR_MID_RECEIVED, 2.491, "Mail came directly from a dial-up address") \
  X(MONSTERHUT, 1.295, "Links to a known bulk-mail advertiser") \
  X(EMAIL_HARVEST, 1.0, "Offers a program that gathers addresses from the web") \
  X(CLICK_TO_REMOVE_MAILTO, 1.0, "Asks you to click a mail link to be removed") \
  X(CLICK_TO_REMOVE_2, 0.394, "Asks you to click to be removed") \
  X(CLICK_TO_REMOVE_3, 1.0, "Asks you to click to be taken off the list") \
  X(TO_BE_REMOVED_REPLY, 3.985, "Asks you to reply to be removed") \
  X(REMOVAL_INSTRUCTIONS, 4.21, "Gives removal instructions") \
  X(THIS_AINT_SPAM, 0.854, "Claims it is not spam") \
  X(THIS_AINT_JUNK, 1.0, "Claims it is not junk mail") \
  X(WE_HATE_SPAM, 3.804, "Claims to hate spam as well") \
  X(IN_ACCORDANCE_WITH_LAWS, 3.16, "Claims to follow the laws on e-mail") \
  X(HR_3113, 2.695, "Cites a House bill on unsolicited e-mail") \
  X(UCE_MAIL_ACT, 2.623, "Cites an act on unsolicited commercial e-mail") \
  X(PENIS_ENLARGE, 1.283, "Talks about enlarging the penis") \
  X(PENIS_ENLARGE2, 4.319, "Promises a bigger penis") \
  X(EJACULATION, 3.601, "Talks about ejaculation") \
  X(IMPOTENCE, 2.57, "Talks about impotence") \
  X(WORK_AT_HOME, 3.163, "Offers work from home") \
  X(HOME_EMPLOYMENT, 2.882, "Offers employment at home") \
  X(NO_EXPERIENCE, 4.239, "Says no experience is needed") \
  X(FREE_MONEY, 0.244, "Offers free money") \
  X(MORTGAGE_RATES, 4.354, "Talks about mortgage rates") \
  X(MORTGAGE_OBFU, 1.0, "Spells mortgage in a disguised way") \
  X(TAKE_ACTION_NOW, 2.675, "Urges you to take action now") \
  X(THE_FOLLOWING_FORM, 1.988, "Asks you to fill in the form below") \
  X(HUNZA_DIET_BREAD, 0, "Offers a tasty-sounding dietary product") \
  X(MAILTO_LINK, 0.782, "Has a mail link with a subject") \
  X(FORM_W_MAILTO_ACTION, 3.239, "HTML form sends its contents by mail") \
  X(AOL_USERS_LINK, 0.626, "Has a link for the users of one online service") \
  X(WEB_BUGS, -0.43, "HTML has an image that reports when the mail is read") \
  X(RELAYING_FRAME, 0.031, "HTML loads a frame from elsewhere") \
  X(HTML_EMBEDS, 0.417, "HTML embeds an object") \
  X(INTERNET_TERROR_RANT, 1.0, "Rants about internet terrorism") \
  X(SK_FROM_HOST_IN_RECEIVED, -2.164, "The sender's host is in the first Received line") \
  X(SK_RAND_SUBJ_3, 2.256, "Subject looks randomly generated") \
  X(SK_MIME_SUBJ, 1.0, "Subject was encoded") \
  X(NIGERIAN_SCAM, 1.0, "Tells a story of money to move out of a country") \
  X(NIGERIAN_SCAM_2, 4.27, "Asks for a partner to receive a large sum of money") \
  X(NIGERIAN_SCAM_4, 3.424, "Claims to be a relative of a dead official") \
  X(NIGERIAN_SCAM_5, 2.333, "Offers a share of a large sum for your help") \
  X(NIGERIAN_SCAM_6, 3.014, "Asks for absolute secrecy in a business deal") \
  X(NIGERIAN_SCAM_7, 4.228, "Talks about a bank account abroad") \
  X(NIGERIAN_SCAM_8, 1.0, "Claims the money comes from an over-invoiced contract") \
  X(US_DOLLARS, 4.475, "Talks about millions of United States dollars") \
  X(US_DOLLARS_2, 0.182, "Names a sum in United States dollars") \
  X(US_DOLLARS_3, 2.295, "Talks about millions of dollars") \
  X(UNNEEDED_HTML_ENCODING, 3.196, "HTML is needlessly encoded") \
  X(FRONTPAGE, 4.429, "Made with a popular web page editor") \
  X(BALANCE_FOR_LONG, -2, "Message text is over 500 lines long") \
  X(UNIFIED_PATCH, -5, "Holds a unified patch") \
  X(DIFF_C_PATCH, -5, "Holds a context patch") \
  X(PGP_SIGNATURE, -3.135, "Carries a PGP signature") \
  X(COPYRIGHT_CLAIMED, -1.255, "Carries a copyright notice") \
  X(KIFF, 3.838, "Mentions a spammer's favourite word") \
  X(CBYI, 4.336, "Uses a bulk mailer's odd abbreviation") \
  X(JODY, 2.606, "Uses a bulk mailer's signature name") \
  X(GENTLE_FEROCITY, 4.196, "Uses a bulk mailer's odd phrase") \
  X(VJESTIKA, 4.279, "Uses a bulk mailer's odd word") \
  X(TONER, 1.403, "Sells toner cartridges") \
  X(CASINO, 0.566, "Talks about a casino") \
  X(MYCASINOBUILDER, 2.686, "Offers to build you an online casino") \
  X(ONCE_IN_LIFETIME, 1.802, "Offers a once-in-a-lifetime chance") \
  X(YOUR_INCOME, 4.414, "Talks about your income") \
  X(BE_AMAZED, 4.202, "Promises you will be amazed") \
  X(ITS_EFFECTIVE, 1.0, "Claims the product is effective") \
  X(RESISTANCE_IS_FUTILE, 3.515, "Claims resistance is futile") \
  X(MAILMAN_CONFIRM, -4, "Holds a list server's confirmation request") \
  X(EGP_HTML_BANNER, -6, "Holds the banner of a mailing-list host") \
  X(GREAT_OFFER, 0.445, "Calls itself a great offer") \
  X(SUBJ_2_CREDIT, 4.198, "Offers credit repair") \
  X(DEAR_SOMEBODY, -0.694, "Greets the reader by a first name") \
  X(GAPPY_TEXT, 0.393, "Letters spaced apart to hide words") \
  X(COPY_DVDS, 3.699, "Offers to copy DVDs") \
  X(URGENT_BIZ, 2.734, "Talks about an urgent business proposal") \
  X(EARN_PER_WEEK, 4.339, "Promises earnings per week") \
  X(PENNIES_A_DAY, 2.943, "Says it costs only pennies a day") \
  X(FOR_JUST_SOME_AMT, 1.916, "Sells something for just a small amount") \
  X(MIME_NULL_BLOCK, -0.975, "Says a part of the mail has no text") \
  X(SAFEGUARD_NOTICE, 1.967, "Claims to guard your privacy") \
  X(EVITE, -5, "Holds an invitation from an online invitation service") \
  X(SIGNATURE_DELIM, 0.488, "Has a signature separator line") \
  X(READ_TO_END, 1.998, "Urges you to read to the end") \
  X(DONT_DELETE, 1.565, "Asks you not to delete the message") \
  X(REAL_THING, 2.074, "Claims to be the real thing") \
  X(ALL_NATURAL, 2.291, "Sells an all-natural product") \
  X(MONEY_BACK, 1.5, "Offers a money-back guarantee") \
  X(NO_CATCH, 2.621, "Says there is no catch") \
  X(NO_OBLIGATION, 1.884, "Says there is no obligation") \
  X(NO_DISSAPOINTMENT, 0.689, "Promises no disappointment") \
  X(SERIOUS_ONLY, 2.735, "Wants serious people only") \
  X(RISK_FREE, 1.928, "Promises no risk") \
  X(AS_SEEN_ON, 2.235, "Says the product was seen on television") \
  X(NOT_INTENDED, 1.135, "Says the mail is not intended for some readers") \
  X(COPY_ACCURATELY, 3.41, "Asks you to copy the address accurately") \
  X(SEE_FOR_YOURSELF, 2.773, "Invites you to see for yourself") \
  X(DOUBLE_CAPSWORD, 1.0, "The same word in capitals twice close together") \
  X(ORDER_NOW, 1.791, "Urges you to order now") \
  X(OBFUSCATING_JAVASCRIPT, 1.0, "HTML script builds text from character codes") \
  X(NUMERIC_COMMENT, 1.0, "HTML comment holds only digits") \
  X(OBFUSCATING_COMMENT, 2, "HTML comments break up words") \
  X(OFFSHORE_SCAM, 1.0, "Offers an offshore business or account") \
  X(VACATION_SCAM, 1.0, "Offers a free or cheap holiday") \
  X(WHY_PAY_MORE, 1.0, "Asks why you pay more") \
  X(CONGRATULATIONS, 1.0, "Congratulates you") \
  X(SIGN_UP, 1.0, "Asks you to sign up") \
  X(FREE_CELL_PHONE, 1.0, "Offers a free mobile phone") \
  X(FREE_PREVIEW, 1.0, "Offers a free preview") \
  X(FREE_ACCESS, 1.0, "Offers free access") \
  X(FREE_LEADS, 1.0, "Offers free sales leads") \
  X(FREE_TICKETS, 1.0, "Offers free tickets") \
  X(OFFER, 1.0, "Makes an offer") \
  X(OFFER_EXPIRE, 1.0, "Says the offer expires") \
  X(FREE_QUOTE, 1.0, "Offers a free quote") \
  X(FREE_INSTALL, 1.0, "Offers free installation") \
  X(FREE_SAMPLE, 1.0, "Offers a free sample") \
  X(FREE_DVD, 1.0, "Offers a free DVD") \
  X(FREE_INVESTMENT, 1.0, "Offers a free investment tip") \
  X(INVESTMENT, 1.0, "Talks about an investment") \
  X(FREE_TRIAL, 1.0, "Offers a free trial") \
  X(FREE_MEMBERSHIP, 1.0, "Offers a free membership") \
  X(FREE_FLAG, 1.0, "Offers a free flag") \
  X(FREE_HOSTING, 1.0, "Offers free web hosting") \
  X(FREE_WEBSITE, 1.0, "Offers a free web site") \
  X(CREDIT_CARD, 1.0, "Talks about credit cards") \
  X(NO_CREDIT_CHECK, 1.0, "Says there is no credit check") \
  X(BANKRUPTCY, 1.0, "Talks about bankruptcy") \
  X(CREDIT_BUREAU, 1.0, "Talks about credit bureaus") \
  X(ACCEPT_CREDIT_CARDS, 1.0, "Says it accepts credit cards") \
  X(BAD_CREDIT, 1.0, "Talks about bad credit") \
  X(UNSECURED_CREDIT, 1.0, "Offers unsecured credit") \
  X(LOW_INTEREST, 1.0, "Offers a low interest rate") \
  X(COMPARE_RATES, 1.0, "Invites you to compare rates") \
  X(SAVE_UP_TO, 1.0, "Promises savings of up to a sum") \
  X(LOW_PAYMENT, 1.0, "Promises low payments") \
  X(CONSOLIDATE_DEBT, 1.0, "Offers to consolidate your debts") \
  X(CREDITORS_CALLING, 1.0, "Talks about creditors calling") \
  X(REFINANCE, 1.0, "Offers refinancing") \
  X(LIFE_INSURANCE, 1.0, "Sells life insurance") \
  X(SEARCH_ENGINE, 1.0, "Talks about search engines") \
  X(SEARCH_ENGINE_PROMO, 2.6, "Promises a top place in search engines") \
  X(OPPORTUNITY_2, 1.0, "Talks about a business opportunity") \
  X(MORE_TRAFFIC, 1.0, "Promises more traffic to your web site") \
  X(NO_PURCHASE, 1.0, "Says no purchase is needed") \
  X(NO_MIDDLEMAN, 1.0, "Says there is no middleman") \
  X(NO_SPENDING, 1.0, "Says there is no spending") \
  X(NO_STRINGS, 1.0, "Says there are no strings attached") \
  X(NO_FEE, 1.0, "Says there is no fee") \
  X(NO_MEDICAL, 1.0, "Says no medical exam is needed") \
  X(NO_AGE, 1.0, "Says there is no age limit") \
  X(NO_FORMS, 1.0, "Says no forms are needed") \
  X(NO_REFUND, 1.0, "Promises no refunds are needed") \
  X(NO_GIMMICK, 1.0, "Says there is no gimmick") \
  X(NO_INVESTMENT, 1.0, "Says no investment is needed") \
  X(INITIAL_INVEST, 1.0, "Talks about an initial investment") \
  X(NO_INVENTORY, 1.0, "Says there is no inventory to keep") \
  X(BUY_DIRECT, 1.0, "Invites you to buy direct") \
  X(PRICES_WONT_LAST, 1.0, "Says the prices will not last") \
  X(SLASH_PRICE, 1.0, "Says prices are slashed") \
  X(DRASTIC_REDUCED, 1.0, "Says prices are drastically reduced") \
  X(DO_IT_TODAY, 1.0, "Urges you to do it today") \
  X(ACT_NOW, 1.0, "Urges you to act now") \
  X(WHY_WAIT, 1.0, "Asks why you wait") \
  X(SUPPLIES_LIMITED, 1.0, "Says supplies are limited") \
  X(SECRET_RECORD, 1.0, "Offers to find secret records") \
  X(INCREDIBLE, 1.0, "Calls something incredible") \
  X(FIND_ANYTHING, 1.0, "Offers to find anything about anyone") \
  X(SEDUCTION, 1.0, "Talks about the art of seduction") \
  X(MARKET_SOLUTION, 1.0, "Offers a marketing solution") \
  X(MARKETING, 1.0, "Talks about marketing") \
  X(SAVE_MONEY, 1.0, "Promises to save you money") \
  X(BREAKTHROUGH, 1.0, "Talks about a breakthrough") \
  X(GUARANTEED_STUFF, 1.0, "Guarantees something") \
  X(INCOME, 1.0, "Talks about extra income") \
  X(EARNINGS, 1.0, "Talks about earnings") \
  X(THE_BEST_RATE, 1.0, "Promises the best rate") \
  X(BEST_PRICE, 1.0, "Promises the best price") \
  X(WE_PROMISE_YOU, 1.0, "Makes promises to you") \
  X(OUTSTANDING_VALUE, 1.0, "Promises outstanding value") \
  X(AMAZING_STUFF, 1.0, "Calls its stuff amazing") \
  X(CASH_BONUS, 1.0, "Offers a cash bonus") \
  X(BONUS_PAYMENT, 1.0, "Offers a bonus payment") \
  X(SHOPPING_SPREE, 1.0, "Offers a shopping spree") \
  X(GIFT_CERTIFICATE, 1.0, "Offers a gift certificate") \
  X(FANTASTIC, 1.0, "Calls something fantastic") \
  X(SIGNIFICANT, 1.0, "Promises significant results") \
  X(CENTS_ON_DOLLAR, 1.0, "Offers pennies on the dollar") \
  X(IRS, 1.0, "Talks about the tax authority") \
  X(COUPON, 1.0, "Offers a coupon") \
  X(CANT_LIVE_WITHOUT, 1.0, "Says you cannot live without it") \
  X(NAME_BRAND, 1.0, "Sells name brands") \
  X(DIET, 1.0, "Talks about dieting") \
  X(LONG_DISTANCE, 1.0, "Sells long distance calls") \
  X(REVERSE_AGING, 1.0, "Promises to reverse ageing") \
  X(HAIR_LOSS, 1.0, "Talks about hair loss") \
  X(CABLE_CONVERTER, 1.0, "Sells cable television converters") \
  X(LUXURY_CAR, 1.0, "Offers a luxury car") \
  X(PROTECT_ASSETS, 1.0, "Offers to protect your assets") \
  X(BREAKTHROUGH_2, 1.0, "Talks about a scientific breakthrough") \
  X(WRINKLES, 1.0, "Promises to remove wrinkles") \
  X(HARD_CASH, 1.0, "Talks about hard cash") \
  X(BIG_BUCKS, 1.0, "Promises big bucks") \
  X(BUY_JUDGEMENTS, 1.0, "Offers to buy court judgements") \
  X(LYING_EYES, 1.0, "Sells a test that tells whether someone lies") \
  X(WHILE_YOU_SLEEP, 1.0, "Promises money while you sleep") \
  X(WHILE_SUPPLIES, 1.0, "Says the offer lasts while supplies last") \
  X(RICH, 1.0, "Promises to make you rich") \
  X(WINNING, 1.0, "Says you are winning something") \
  X(PROMOTION, 1.0, "Offers a promotion") \
  X(FREE_PASSWORD, 1.0, "Offers a free password to a site") \
  X(HIDDEN_CHARGES, 1.0, "Claims there are no hidden charges") \
  X(GET_STARTED_NOW, 1.0, "Urges you to get started now") \
  X(GET_IT_NOW, 1.0, "Urges you to get it now") \
  X(ONLY_COST, 1.0, "Says you pay only a small cost") \
  X(SAVE_BUCKS, 1.0, "Promises to save you bucks") \
  X(FINANCIAL, 1.0, "Promises financial freedom") \
  X(FORWARD_LOOKING, 1.0, "Carries a forward-looking statement notice") \
  X(DISCLAIMER, 1.0, "Carries a disclaimer") \
  X(SATISFACTION, 1.0, "Guarantees satisfaction") \
  X(PRIZE, 1.0, "Talks about a prize") \
  X(GETAWAY, 1.0, "Offers a weekend getaway") \
  X(HGH, 1.0, "Sells human growth hormone") \
  X(WEALTH, 1.0, "Promises wealth") \
  X(GIVING_AWAY, 1.0, "Says it is giving something away") \
  X(EASY_TERMS, 1.0, "Offers easy terms") \
  X(EXTRA_CASH, 1.0, "Offers extra cash") \
  X(GET_PAID, 1.0, "Offers to get you paid") \
  X(BEEN_TURNED_DOWN, 1.0, "Asks whether you have been turned down before") \
  X(SK_NEEDLESS_MIME_SUBJ, 4, "Subject is needlessly encoded") \
  X(COMPETE, 1.0, "Says you cannot compete with it") \
  X(CANCEL, 1.0, "Says you may cancel at any time") \
  X(SELECTED, 1.0, "Says you were selected") \
  X(CHANGE_TERMS, 1.0, "Changes its terms at will") \
  X(RESERVES_RIGHT, 1.0, "Reserves the right to change anything") \
  X(NO_COMBINE, 1.0, "Says the offer cannot be combined") \
  X(NEW_CUSTOMER, 1.0, "Offers a deal for new customers only") \
  X(PSYCHIC, 1.0, "Offers a psychic reading") \
  X(PHONE_CANCER, 1.0, "Talks about phones and cancer") \
  X(MEET_SINGLES, 1.0, "Offers to meet singles") \
  X(JOIN_MILLIONS, 1.0, "Invites you to join millions") \
  X(BACKED_BY, 1.0, "Claims to be backed by something") \
  X(EXPECT_TO_EARN, 1.0, "Promises what you can expect to earn") \
  X(BE_BOSS, 1.0, "Offers to make you your own boss") \
  X(SPY_ON_FRIENDS, 1.0, "Offers to spy on your friends") \
  X(DIG_UP_INFO, 1.0, "Offers to dig up information on anyone") \
  X(MLM, 1.0, "Talks about multi-level marketing") \
  X(NOT_MLM, 1.0, "Claims it is not multi-level marketing") \
  X(UNCLAIMED_MONEY, 1.0, "Offers to find unclaimed money") \
  X(SERIOUS_CASH, 1.0, "Offers serious cash") \
  X(LARGE_COLLECTION, 1.0, "Offers a large collection of pictures") \
  X(FREE_PORN, 1.0, "Offers free pornography") \
  X(BARELY_LEGAL, 1.0, "Offers pictures of barely legal girls") \
  X(LOLITA, 1.0, "Uses a word for under-age pornography") \
  X(MEGA_SITE, 1.0, "Offers a mega site of pornography") \
  X(CUM_SHOT, 1.0, "Uses a crude word from pornography") \
  X(BIG_BOOBS, 1.0, "Talks about large breasts") \
  X(ALL_CAP_PORN, 1.0, "Uses a word of pornography in capitals") \
  X(PAY_SITE, 1.0, "Offers a pay site for adults") \
  X(FARM_PORN, 1.0, "Offers animal pornography") \
  X(SEX_FEST, 1.0, "Offers a sex festival") \
  X(LIVE_PORN, 1.0, "Offers live pornography") \
  X(HARDCORE_PORN, 1.0, "Offers hardcore pornography") \
  X(HOT_NASTY, 1.0, "Offers hot and nasty content") \
  X(NASTY_GIRLS, 1.0, "Offers nasty girls") \
  X(CAM_PORN, 1.0, "Offers web cameras of sex") \
  X(AMATUER_PORN, 1.0, "Offers amateur pornography") \
  X(CELEBRITY_PORN, 1.0, "Offers pictures of naked celebrities") \
  X(PORN_GALLERIES, 1.0, "Offers galleries of pornography") \
  X(UP_SKIRT, 1.0, "Offers up-skirt pictures") \
  X(ADULT_SITE, 1.0, "Offers an adult web site") \
  X(UNCENSORED, 1.0, "Offers uncensored pictures") \
  X(MUST_BE_18, 1.0, "Says you must be 18 or older") \
  X(INSTANT_ACCESS, 1.0, "Offers instant access") \
  X(RAPE, 1.0, "Talks about rape") \
  X(LESBIAN, 1.0, "Offers lesbian pornography") \
  X(CHILD_SUPPORT, 1.0, "Offers help with child support") \
  X(ITS_LEGAL, 1.0, "Claims the offer is legal") \
  X(FREE_GRANT, 1.0, "Offers free grant money") \
  X(VIAGRA_ONLINE, 1.0, "Sells a potency drug online") \
  X(VIAGRA_COMBO, 1.0, "Sells a potency drug together with other drugs") \
  X(HIDDEN_ASSETS, 1.0, "Offers to find hidden assets") \
  X(SAVE_THOUSANDS, 1.0, "Promises to save you thousands") \
  X(REFINANCE_YOUR_HOME, 1.0, "Offers to refinance your home") \
  X(NO_REAL_NAME, 0.5, "From has an address but no real name") \
  X(FROM_ENDS_IN_NUMS, 0.382, "From address ends in digits") \
  X(FROM_STARTS_WITH_NUMS, 4.388, "From address starts with digits") \
  X(FROM_HAS_MIXED_NUMS, 2.578, "From address mixes letters and digits") \
  X(FROM_NO_USER, 1.471, "From has no user name") \
  X(TO_NO_USER, 4.528, "To has no user name") \
  X(TO_MALFORMED, 1.115, "To header is malformed") \
  X(TO_EMPTY, 1.446, "Has no To header") \
  X(REPLY_TO_EMPTY, 2.595, "Reply-To header is empty") \
  X(TO_LOCALPART_EQ_REAL, 0.483, "To gives the local part as the real name") \
  X(TO_ADDRESS_EQ_REAL, 1.0, "To gives the whole address as the real name") \
  X(UNDISC_RECIPS, 4.034, "Sent to undisclosed recipients") \
  X(FAKED_UNDISC_RECIPS, 3.461, "Fakes the undisclosed-recipients form") \
  X(TO_INVESTORS, 0, "Sent to an investors address") \
  X(FROM_MALFORMED, 3.667, "From header is malformed") \
  X(PLING, 0.094, "Subject has an exclamation mark") \
  X(PLING_PLING, 0.763, "Subject has several exclamation marks") \
  X(SUBJ_HAS_UNIQ_ID, 2.542, "Subject ends with an identifier") \
  X(SUBJ_HAS_SPACES, 4.043, "Subject has many blanks or a tab") \
  X(SUBJ_ALL_CAPS, -0.054, "Subject is all capitals") \
  X(SUBJ_MISSING, 1.399, "Has no Subject header") \
  X(MSGID_HAS_NO_AT, 2.15, "Message-Id has no at sign") \
  X(MSGID_SPAMSIGN_1, 3.458, "Message-Id has the form a bulk mailer gives it") \
  X(SK_RANDOM_FROM, 2.058, "From address looks random") \
  X(MSGID_CHARS_WEIRD, 0.1, "Message-Id holds odd characters") \
  X(INVALID_MSGID, 1.848, "Message-Id is not valid") \
  X(INVALID_DATE, 0.475, "Date header is not valid") \
  X(INVALID_DATE_TZ_ABSURD, 4.395, "Date has an absurd time zone") \
  X(DATE_YEAR_ZERO_FIRST, 1.142, "Date has a year beginning with zero") \
  X(DATE_IN_PAST_03_06, 0.682, "Date is 3 to 6 hours before it was received") \
  X(DATE_IN_PAST_06_12, 1.642, "Date is 6 to 12 hours before it was received") \
  X(DATE_IN_PAST_12_24, 1.703, "Date is 12 to 24 hours before it was received") \
  X(DATE_IN_PAST_24_48, 2.611, "Date is 1 to 2 days before it was received") \
  X(DATE_IN_PAST_48_96, 2.479, "Date is 2 to 4 days before it was received") \
  X(DATE_IN_PAST_96_XX, 0.938, "Date is more than 4 days before it was received") \
  X(DATE_IN_FUTURE_03_06, 3.416, "Date is 3 to 6 hours after it was received") \
  X(DATE_IN_FUTURE_06_12, 2.385, "Date is 6 to 12 hours after it was received") \
  X(DATE_IN_FUTURE_12_24, 3.308, "Date is 12 to 24 hours after it was received") \
  X(DATE_IN_FUTURE_24_48, 3.657, "Date is 1 to 2 days after it was received") \
  X(DATE_IN_FUTURE_48_96, 2.887, "Date is 2 to 4 days after it was received") \
  X(DATE_IN_FUTURE_96_XX, 3.463, "Date is more than 4 days after it was received") \
  X(SUBJ_HAS_Q_MARK, 0.663, "Subject has a question mark before its end") \
  X(SUBJ_ENDS_IN_Q_MARK, -0.135, "Subject ends in a question mark") \
  X(ADVERT_CODE, 4.725, "Subject is marked as an advertisement") \
  X(SK_UNPROCESSED_MARKER, 3.401, "Holds a mail-merge marker left unprocessed") \
  X(FRIEND_AT_PUBLIC, 0.999, "Mentions a placeholder domain or public address") \
  X(DOMAIN_SUBJECT, 0.795, "Subject offers domain names") \
  X(ALL_CAPS_HEADER, 1.624, "A main header name is written in capitals") \
  X(X_UIDL_SPAMSIGN, 1.0, "X-UIDL header holds odd characters") \
  X(NO_MX_FOR_FROM, 1.8, "The sender's domain has no mail exchanger") \
  X(SK_FONT_SIZE_0, 4, "HTML has text of font size zero") \
  X(FORGED_AOL_RCVD, 4, "Received line claims a relay of a large online service falsely") \
  X(SK_BAD_MS_BOUNDARY, 0.5, "Boundary does not look like the claimed mailer's") \
  X(SK_BAD_IMS_BOUNDARY, -2.5, "Boundary does not look like the claimed mail server's") \
  X(SK_MS_BOUNDARY_NON_MS_MAIL, 1.6, "Boundary of a known mailer in mail from another mailer") \
  X(SK_BOUNDARY_GOOD, -2.5, "Boundary matches the claimed mailer") \
  X(SK_MULTIPART_ALT_NO_PLAIN, 4, "Multipart alternative without a plain text part") \
  X(SK_MULTIPART_ALT_NO_HTML, 4, "Multipart alternative without an HTML part") \
  X(BAD_HELO_WARNING, 2.54, "Received line carries an authentication warning") \
  X(SUBJ_FULL_OF_8BITS, 4.298, "Subject is full of 8-bit characters") \
  X(MDAEMON_2_7_4, 2.558, "Relayed by an old mail server version used for bulk mail") \
  X(FAKED_IP_IN_RCVD, 3.647, "Received line holds a faked address") \
  X(SMTPD_IN_RCVD, 2.096, "Relayed by a mail server often used for bulk mail") \
  X(POST_IN_RCVD, 2.661, "Received line names a free-mail provider as a bare host") \
  X(RCVD_IN_ORDB, 2, "Relayed by a host on a list of open relays") \
  X(RCVD_IN_VISI, 1.0, "Relayed by a host on a relay stop list") \
  X(RCVD_IN_SBL, 3, "Relayed by a host on a list of known spam sources") \
  X(RCVD_IN_ORBS, 1.0, "Relayed by a host on an old open-relay list") \
  X(RCVD_IN_DSBL, 3, "Relayed by a host on a list of open relays and proxies") \
  X(RCVD_IN_MULTIHOP_DSBL, 1.0, "Relayed through an open relay further up the path") \
  X(X_RCVD_IN_UNCONFIRMED_DSBL, 1.0, "Relayed by a host on an unconfirmed open-relay list") \
  X(RCVD_IN_RFCI, 0.5, "Relayed by a host whose registration details are missing") \
  X(RCVD_IN_SPAMCOP, 1.0, "Relayed by a host that users have reported for spam") \
  X(SK_INTERNAL_MAIL, -5, "Mail from inside the same organisation") \
  X(SK_LARGE_MAIL, 1.0, "Email is large.  Most spam are small") \
  X(SK_BCC_ME, 1.0, "Your address does not appear in any recipeint list.") \
  X(SK_MARQUEE, 5, "HTML has scrolling text") \
  X(FUDGE_MULTIHOP_RELAY, -1, "Relayed through several hops that look legitimate") \
  X(FORGED_RCVD_FOUND, 0.008, "Received line stands below other headers") \
  X(SK_FONT_COLOR_WHITE, 2, "HTML has white text") \
  X(YR_MEMBERSHIP_EXCH, 4.2, "Subject is a membership exchange notice") \
  X(LOTS_OF_CC_LINES, 3.033, "Has a long list of copied recipients") \
  X(FORGED_HOTMAIL_RCVD, 0.5, "Claims to come through one web-mail service falsely") \
  X(FORGED_EUDORAMAIL_RCVD, 4.585, "Claims to come through another web-mail service falsely") \
  X(FORGED_YAHOO_RCVD, 1.454, "Claims to come through a large free-mail provider falsely") \
  X(FORGED_JUNO_RCVD, 4.43, "Claims to come through a free-mail provider of a dial-up service falsely") \
  X(GENUINE_EBAY_RCVD, -10, "Genuinely relayed by an online auction house") \
  X(FORGED_EBAY_RCVD, 5, "Claims to come from an online auction house falsely") \
  X(FORGED_GW05_RCVD, 4.851, "Claims a mail gateway in its Received lines falsely") \
  X(NONEXISTENT_CHARSET, 4.523, "Content type names a character set that does not exist") \
  X(SK_UNNESS_HTML_ENC, 2, "HTML is needlessly encoded with numeric entities") \
  X(X_MAILER_GIBBERISH, 3.062, "X-Mailer header is gibberish") \
  X(X_PRIORITY_HIGH, 0.896, "Sent with high priority") \
  X(X_MSMAIL_PRIORITY_HIGH, -0.886, "Sent with high priority by a Microsoft mailer") \
  X(MAY_BE_FORGED, 1.558, "A relay says the sender's name may be forged") \
  X(SHORT_RECEIVED_LINE, 4.251, "Received line holds a very long word") \
  X(CORRUPT_MSGID, 2.665, "Message-Id is corrupt") \
  X(MSG_ID_ADDED_BY_MTA, 3.967, "Message-Id was added by a relay") \
  X(SK_MX_DIRECT_DIFF_ZONES, 3, "Sent directly to the mail exchanger from another zone") \
  X(SK_DIALUP_DIFF_ZONES, 3, "Sent from a dial-up address in another zone") \
  X(YAHOO_MSGID_ADDED, -2.4, "Message-Id added by a web-mail service that sent it") \
  X(MANY_FROMS, 2.897, "From holds several addresses") \
  X(FROM_BTAMAIL, 3.516, "Sent from a free-mail domain often used for spam") \
  X(FROM_UGETMORE, 1.0, "Sent from a domain that sends bulk offers") \
  X(FROM_TOPICA, 4.573, "Sent from a mailing-list service often used for bulk mail") \
  X(FROM_MISSING, 4.257, "Has no From header") \
  X(DATE_MISSING, 2, "Has no Date header") \
  X(CTYPE_JUST_HTML, 1.665, "Content type is HTML only") \
  X(SK_FONT_STYLE_SMALL, 3, "HTML uses a tiny font style") \
  X(MISSING_HEADERS, 1.0, "Has no recipient headers") \
  X(RATWARE, 4.563, "Sent with a known bulk-mail program") \
  X(SUSPICIOUS_RECIPS, -0.213, "To holds many addresses at one domain") \
  X(SUSPICIOUS_CC_RECIPS, 2.212, "Cc holds many addresses at one domain") \
  X(VERY_SUSP_RECIPS, 1.0, "To holds many similar addresses") \
  X(VERY_SUSP_CC_RECIPS, 1.103, "Cc holds many similar addresses") \
  X(Q_FOR_SELLER, -4, "Subject is a question for an online auction seller") \
  X(ORDER_STATUS, -3, "Subject is about the status of an order") \
  X(GAPPY_SUBJECT, 0.975, "Subject has letters spaced apart") \
  X(SK_BAD_MS_MSGID, 2, "Message-Id does not look like the claimed mailer's") \
  X(SK_GOOD_MS_MSGID, -4, "Message-Id looks like the claimed mailer's") \
  X(MAJORDOMO, 0.129, "Subject is a list server's report") \
  X(PLEASE_READ, 1.756, "Subject asks you to read the message") \
  X(BCC, 0.5, "exists:Bcc") \
  X(COMMENT, 0.5, "exists:Comment") \
  X(DATE_WARNING, 3.088, "exists:Date-warning") \
  X(X_ANTIABUSE, 2.37, "exists:X-AntiAbuse") \
  X(X_ENC_PRESENT, 4.14, "exists:X-Encoding") \
  X(X_ESMTP, -1.662, "exists:x-esmtp") \
  X(X_FIX_PRESENT, 1.0, "exists:X-Fix") \
  X(X_LIBRARY, 1.0, "exists:X-Library") \
  X(X_LIST_HOST, 0.579, "exists:X-List-Host") \
  X(X_LIST_UNSUBSCRIBE, 3.195, "exists:X-List-Unsubscribe") \
  X(X_MAIL_ID_PRESENT, 2.192, "exists:X-MailingID") \
  X(X_MESSAGE_ID, 0.648, "exists:X-Message-Id") \
  X(X_PMFLAGS_PRESENT, 3.093, "exists:X-PMFLAGS") \
  X(X_PRECEDENCE_REF, 4.555, "exists:X-Precedence-Ref") \
  X(X_SERV_HOST_PRESENT, 3.759, "exists:X-ServerHost") \
  X(X_SMTPEXP_REGISTRATION, 1.622, "exists:X-SMTPExp-Registration") \
  X(X_SMTPEXP_VERSION, 1.622, "exists:X-SMTPExp-Version") \
  X(X_STORMPOST_TO, 2.272, "exists:X-Stormpost-To") \
  X(X_X_PRESENT, 1.508, "exists:X-x") \
  X(COMPLAIN_TO, 1.0, "exists:Complain-To") \
  X(CRON_ENV, -2, "exists:X-Cron-Env") \
  X(IN_REP_TO, -3.382, "exists:In-Reply-To") \
  X(REFERENCES, -0.1, "exists:References") \
  X(RESENT_TO, -1, "exists:Resent-To") \
  X(USER_AGENT, -1, "exists:User-Agent") \
  X(X_AUTH_WARNING, -0.703, "exists:X-Authentication-Warning") \
  X(X_LOOP, -1, "exists:X-Loop") \
  X(X_MAILING_LIST, -1, "exists:X-Mailing-List") \
  X(X_ACCEPT_LANG, -2, "exists:X-Accept-Language") \
  X(MIME_ODD_CASE, 4.339, "MIME-Version header is written in odd case") \
  X(OE_PI, 3, "X-Mailer names a fake version of a mail reader") \
  X(MISSING_MIMEOLE, 1.0, "Claims a Microsoft mailer but lacks its MIME header") \
  X(MISSING_OUTLOOK_NAME, 1.0, "Has Outlook headers but does not name Outlook") \
  X(PRIORITY_NO_NAME, 1.0, "Has a priority header but no mailer") \
  X(SK_GOOD_FROM_NAME, 1.0, "From name matches the address") \
  X(PGP_SIGNATURE_2, -3.135, "Carries a PGP signature part") \
  X(SK_GOOD_REFERENCES, -5, "References header looks right") \
  X(EXCHANGE_SERVER, -2, "Sent through a Microsoft mail server") \
  X(APPROVED_BY, -1, "Has an Approved-By moderated list header") \
  X(SUBJ_FREE_CAP, 1.0, "Subject has FREE in capitals") \
  X(NMS_CGI_NOT_BUGGY, -10, "Sent by a form-mail script that is not buggy") \
  X(NUMERIC_HTTP_ADDR, 1.754, "Link uses a numeric host") \
  X(NORMAL_HTTP_TO_IP, 3.312, "Link points at an IP address") \
  X(LONG_NUMERIC_HTTP_ADDR, 2.1, "Link uses a long numeric host with leading zeros") \
  X(HTTP_USERNAME_USED, 1.512, "Link carries a user name") \
  X(HTTP_WITH_EMAIL_IN_URL, 2.648, "Link carries an e-mail address") \
  X(HTTP_ESCAPED_HOST, 2.222, "Link host holds escaped characters") \
  X(HTTP_CTRL_CHARS_HOST, 3.077, "Link host holds control characters") \
  X(PORN_4, 1.0, "Link to a pornographic host") \
  X(E_WEBHOSTCENTRAL_URL, 4.6, "Links to a known web host used for spam") \
  X(FREEWEBHOSTINGCENTRAL, 1.6, "Links to a free web host used for spam") \
  X(SK_GOOD_INREPLYTO, -1.1, "In-Reply-To header looks right") \
  X(FREEMEGS_URL, 2.7, "Links to a free web space used for spam") \
  X(WEB4PORNO_URL, 5, "Links to a pornographic web site") \
  X(HALVORN_RULE_600_NAME, 2.5, "Links to a web site that bulk mail advertises") \
  X(YELLOWSUN, 2.81, "Links to a web site that bulk mail advertises") \
  X(HALVORN_RULE_602_NAME, 2.356, "Links to a web site that bulk mail advertises") \
  X(HALVORN_RULE_603_NAME, 1.9, "Links to a web site that bulk mail advertises") \
  X(HALVORN_RULE_604_NAME, 2.093, "Links to a web site that bulk mail advertises") \
  X(HALVORN_RULE_605_NAME, 2.113, "Links to a web site that bulk mail advertises") \
  X(HALVORN_RULE_606_NAME, 1.0, "Links to a web site that bulk mail advertises") \
  X(HALVORN_RULE_607_NAME, 1.667, "Links to a web site that bulk mail advertises") \
  X(STAINLESS_STEEL, 4, "Links to a web site that sells stainless steel goods") \
  X(UNSUB_SCRIPT, 2.018, "Link to an unsubscribe script") \
  X(UNSUB_PAGE, 2.586, "Link to an unsubscribe page") \
  X(REMOVE_PAGE, 2.198, "Link to a removal page") \
  X(MAILTO_WITH_SUBJ_REMOVE, 4.922, "Mail link with remove in its subject") \
  X(MAILTO_WITH_SUBJ, 1.9, "Mail link with a subject") \
  X(MAILTO_TO_SPAM_ADDR, 0.523, "Mail link to an address with digits") \
  X(MAILTO_TO_REMOVE, -1.669, "Mail link to a removal address") \
  X(HTTP_NUMBER_WORD, 1.827, "Link host is a number spelt out") \
  X(JAVASCRIPT_URI, 0.099, "Link runs a script") \
  X(URI_IS_POUND, 2.026, "Link is only a pound sign") \
  X(WEIRD_PORT, 0.262, "Link uses an unusual port") \
  X(SPAM_REDIRECTOR, 1.706, "Links through a redirector that bulk mail uses") \
  X(REMOVE_ES_01, 1.0, "Claims you can be removed in Spanish") \
  X(REMOVE_ES_02, 1.0, "Tells you in Spanish to reply to be removed") \
  X(REMOVE_ES_03, 1.0, "Tells you in Spanish to put a word in the subject to be removed") \
  X(REMOVE_ES_04, 1.0, "Offers removal from the list in Spanish") \
  X(REMOVE_ES_05, 1.0, "Tells you in Spanish that you will not receive more mail") \
  X(REMOVE_ES_06, 1.0, "Offers to unsubscribe you in Spanish") \
  X(EXCUSE_ES_01, 1.0, "Excuses the mail in Spanish as not unsolicited") \
  X(EXCUSE_ES_02, 1.0, "Claims in Spanish that it follows the law") \
  X(EXCUSE_ES_03, 1.0, "Apologises in Spanish for an unwanted mail") \
  X(EXCUSE_ES_04, 1.0, "Claims in Spanish that your address came from a public list") \
  X(EXCUSE_ES_05, 1.0, "Excuses the mail in Spanish as sent only once")

enum class TSpamAssassinSubTestEnum : std::uint16_t {
#define HALVORN_RULE_MEMBER(name, points, description) name,
  HALVORN_RULE_CATALOGUE(HALVORN_RULE_MEMBER)
#undef HALVORN_RULE_MEMBER
};

#define HALVORN_RULE_ONE(name, points, description) +1
static_assert(0 HALVORN_RULE_CATALOGUE(HALVORN_RULE_ONE) == kRuleCount,
              "the catalogue holds 632 rules");
#undef HALVORN_RULE_ONE
static_assert(static_cast<int>(TSpamAssassinSubTestEnum::EXCUSE_ES_05) == kRuleCount - 1);

namespace {

// Two steps, so that a name given by a macro is spelt out first.
#define HALVORN_RULE_TEXT(name) #name
#define HALVORN_RULE_TEXT_OF(name) HALVORN_RULE_TEXT(name)

struct TRuleRow {
  const char* Name;
  double Points;
  const char* Description;
};

constexpr std::array<TRuleRow, kRuleCount> kRules = {{
#define HALVORN_RULE_ROW(name, points, description) \
  {HALVORN_RULE_TEXT_OF(name), points, description},
    HALVORN_RULE_CATALOGUE(HALVORN_RULE_ROW)
#undef HALVORN_RULE_ROW
}};

#undef HALVORN_RULE_TEXT_OF
#undef HALVORN_RULE_TEXT

}  // namespace

const char* RuleTableName(int rule) {
  return kRules[static_cast<std::size_t>(rule)].Name;
}
double RuleTablePoints(int rule) {
  return kRules[static_cast<std::size_t>(rule)].Points;
}
const char* RuleTableDescription(int rule) {
  return kRules[static_cast<std::size_t>(rule)].Description;
}

}  // namespace halvorn
