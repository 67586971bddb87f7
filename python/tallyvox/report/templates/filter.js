(function () {
  "use strict";
  // Filtering only: the page reads the same without it.
  var form = document.getElementById("filters");
  if (!form) { return; }
  function apply() {
    var boxes = form.querySelectorAll("input[data-kind]");
    for (var i = 0; i < boxes.length; i++) {
      document.body.classList.toggle("hide-" + boxes[i].getAttribute("data-kind"), !boxes[i].checked);
    }
    document.body.classList.toggle("failed-only", form.querySelector("input[name=failed]").checked);
  }
  form.addEventListener("change", apply);
  form.hidden = false;
  apply();
})();
